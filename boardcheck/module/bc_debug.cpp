// The bench debug menu: square waves on one chain's control lines, endless
// chip commands until the IPset button is pressed, and the supply's voltage
// and watchdog. Prompts go to the log, answers come from the console.
#include "module/bc_debug.h"

#include <cstdio>
#include <cstring>

#include "drv/bc_links.h"
#include "module/bc_chain.h"
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/test_log.h"
#include "os/os.h"

namespace {

constexpr int kPowerOnVid = 18;

void say(const char *text) { test_log(3, TL_PLAIN, text); }

// A chain id below 8: a larger one would address another chain's block or
// the global enable register, so it is asked for again.
int ask_chain() {
    for (;;) {
        say("Enter chain_id.............\n\r");
        const int chain = read_console_number(0);
        if (chain >= 0 && chain < BC_MAX_CHAINS) return chain;
        test_logf(4, TL_PLAIN, "chain_id %d is not a chain (0 ~ %d)\n\r", chain, BC_MAX_CHAINS - 1);
    }
}

void wait_key() {
    char key[16];
    read_console_word(key, sizeof key);
}

void power_on(int chain) {
    kmx_set_vid(chain, kPowerOnVid);
    zynq_chain_power_on(chain, 0, TEST_MODE_DEBUG);
}

bool button_up() { return kmx_get_button() != 0; }

// A square wave on one line until the IPset button is pressed.
void square_wave(const char *header, const char *press, bool echo_width, void (*line)(int, int)) {
    say(header);
    const int chain = ask_chain();
    say("Enter Level width(us)......\n\r");
    const int width = read_console_number(500);
    if (echo_width) test_logf(3, TL_PLAIN, " %d\n\r", width);
    test_logf(3, TL_PLAIN, "chain_id = %d  ,  level_width = %d us\r\n", chain, width);
    say(press);
    wait_key();
    say("********Start Debug!!********\r\n");
    while (button_up()) {
        line(chain, 1);
        kos::sleep_us(unsigned(width / 2));
        line(chain, 0);
        kos::sleep_us(unsigned(width / 2));
    }
}

}  // namespace

int debug_menu(int current) {
    static const char *const kLines[] = {
        "Enter 1: debug START signal                   \n\r",
        "Enter 2: debug RESET signal                   \n\r",
        "Enter 3: debug ENCORE signal                  \n\r",
        "Enter 4: send command 04                      \n\r",
        "Enter 5: send command 01                      \n\r",
        "Enter 6: send command 0A                      \n\r",
        "Enter 7: scan working Frequency (not_finish)              \n\r",
        "Enter 8: scan working VID (not_finish)                    \n\r",
        "Enter 9: debug IIC Voltage                    \n\r",
        "Enter 10:debug Watchdog                    \n\r",
    };
    static const int kCodes[11] = {-1, DEBUG_START, DEBUG_RESET, DEBUG_ENCORE, DEBUG_CMD04, DEBUG_CMD01,
                                   DEBUG_CMD0A, -1, -1, DEBUG_IIC_VOLTAGE, DEBUG_WATCHDOG};
    for (;;) {
        say("\n\r====================START DEBUG MODE========================\n\r");
        for (const char *l : kLines) say(l);
        say("************************************************************\n\r");
        say("              Please enter debug command!                  \n\r");
        const int choice = read_console_number(10);
        test_logf(3, TL_PLAIN, "%d\n\r", choice);
        say("Do you want repeat enter command?  Enter 'Y' is repeat,Enter 'N' is No repeat\n\r");
        char word[16] = {};
        const int got = read_console_word(word, sizeof word);
        say("************************************************************\n\r");
        test_logf(3, TL_PLAIN, "                            %s                            \n\r", word);
        say("============================================================\n\r");
        // The input ended before the question was answered: nothing chosen.
        if (got < 0) return DEBUG_NONE;
        if (strcmp(word, "y") == 0 || strcmp(word, "Y") == 0) continue;
        if (choice == 7 || choice == 8) return current;
        if (choice >= 1 && choice <= 10) return kCodes[choice];
        say("\n\rDebug command Error!!!\n\r");
    }
}

void debug_start_signal() {
    square_wave("\n\r******************Debug START Signal ********************!\n\r",
                "Please Press Any button to Start_En_Signal....\r\n", false, kmx_set_start_en);
}

void debug_reset_signal() {
    square_wave("\n\r******************Debug RSTN Signal ********************!\n\r",
                "Please Press Any button to Reset_Signal Debug....\r\n", false, kmx_set_reset);
}

void debug_encore_signal() {
    square_wave("\n\r******************Debug EN_Core Signal ********************!\n\r",
                "Please Press Any button to Encore_Signal Debug....\r\n", true, kmx_set_power_en);
}

void debug_cmd01() {
    say("\n\r******************Debug Cmd01 ********************!\n\r");
    const int chain = ask_chain();
    say("Please Press Any button to start send cmd01 endlessly. \r\n");
    wait_key();
    power_on(chain);
    say("Press IPset button to restart... \r\n");
    while (button_up()) {
        kmx_cmd_bist_start(chain, 0);
        kos::sleep_ms(200);
    }
}

void debug_cmd04() {
    say("\n\r******************Debug Cmd04 ********************!\n\r");
    const int chain = ask_chain();
    say("Please enter 16 bits data that is you wanted to send. \r\n");
    wait_key();  // the pattern sent stays 0x0000
    test_logf(3, TL_PLAIN, "chain_id = %d ", chain);
    power_on(chain);
    say("Press IPset button to restart... \r\n");
    for (int sent = 0; button_up();) {
        kmx_cmd_resetall(chain, nullptr);
        kos::sleep_ms(200);
        if (++sent % kCmd04PowerEvery == 0) read_iic_power(chain);
    }
}

void debug_cmd0a() {
    say("\n\r******************Debug Cmd0A **********************\n\r");
    const int chain = ask_chain();
    say("Enter Chip_id\n\r");
    int chip = read_console_number(1);
    test_logf(3, TL_PLAIN, "chain_id = %d  ,  Chip_ID = %d\r\n", chain, chip);
    say("*********Start to send cmd0a endlessly*********\r\n");
    if (chip >= 256) {
        say("******************Chip_id Error!!!*********************\r\n");
        chip = 1;
    }
    power_on(chain);
    while (button_up()) {
        uint8_t reg[12];
        kmx_cmd_read_register(chain, chip, reg, sizeof reg);
        kos::sleep_s(3);
    }
    say("Exit Debug Cmd0A Mode \r\n");
}

void debug_iic_voltage() {
    say("\n\r******************Debug IIC Voltage ********************\n\r");
    int chain = ask_chain();
    say("Press IPset button to exit or restart... \r\n");
    say("Enter Voltage:Voltage = Real_Voltage x 100\n\r");
    const int volt = read_console_number(1200);
    test_logf(3, TL_PLAIN, "chain_id = %d  ,  Voltage = %2fV\r\n", chain, double(volt) / 100.0);
    if (chain > 3) chain = 3;
    while (button_up()) {
        kmx_set_power_en(chain, 1);
        kos::sleep_ms(1);
        set_volt_hook(chain, volt);
        kos::sleep_s(2);
        read_iic_power(chain);
        kos::sleep_s(3);
    }
    say("\n\r***************Debug IIC Voltage Over ******************\n\r\n\r");
}

void debug_watchdog() {
    say("\n\r******************Debug Watchdog ********************\n\r");
    const int chain = ask_chain();
    say("Enter dog_time \n\r");
    const int seconds = read_console_number(60);
    test_logf(3, TL_PLAIN, "chain_id = %d  ,  Dogtime = %d S\r\n", chain, seconds);
    set_watchdog_time_i2c(seconds);
    power_on(chain);
    say("......... Watchdog_time Start \n\r\n\r");
    wait_key();
}

bool debug_command(int code) {
    switch (code) {
    case DEBUG_CMD01: debug_cmd01(); return true;
    case DEBUG_CMD04: debug_cmd04(); return true;
    case DEBUG_CMD0A: debug_cmd0a(); return true;
    case DEBUG_START: debug_start_signal(); return true;
    case DEBUG_RESET: debug_reset_signal(); return true;
    case DEBUG_ENCORE: debug_encore_signal(); return true;
    case DEBUG_IIC_VOLTAGE: debug_iic_voltage(); return true;
    case DEBUG_WATCHDOG: debug_watchdog(); return true;
    default: return false;
    }
}

void debug_session() {
    int code = DEBUG_NONE;
    while (!feof(stdin)) {
        code = debug_menu(code);
        // A menu answered only by the end of the input chose nothing.
        if (feof(stdin)) break;
        debug_command(code);
    }
}
