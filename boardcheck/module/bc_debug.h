// The bench debug menu and its commands (boardcheck -d).
#pragma once

// Command codes the menu returns.
enum {
    DEBUG_NONE = -1,
    DEBUG_CMD01 = 0,
    DEBUG_CMD04 = 1,
    DEBUG_CMD0A = 2,
    DEBUG_START = 3,
    DEBUG_RESET = 4,
    DEBUG_ENCORE = 5,
    DEBUG_IIC_VOLTAGE = 6,
    DEBUG_WATCHDOG = 7,
};

// The endless command 04 reads the supply's power after this many sends.
constexpr int kCmd04PowerEvery = 51;

// Shows the menu until a choice is taken; returns its code (choices 7 and 8
// keep `current`). DEBUG_NONE when the input ends before an answer.
int debug_menu(int current);
// Runs the command of a code; false for a code that is no command.
bool debug_command(int code);
// Menu and command in turn until the console input ends.
void debug_session();

void debug_start_signal();
void debug_reset_signal();
void debug_encore_signal();
void debug_cmd01();
void debug_cmd04();
void debug_cmd0a();
void debug_iic_voltage();
void debug_watchdog();
