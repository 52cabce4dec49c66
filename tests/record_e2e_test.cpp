// The running record end to end: the record probe runs (and restarts) inside
// an emulated SoC machine with an emulated /dev/mtd9, and the test reads the
// flash image, the record files and the erase log the machine left.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "record/kmx_record.h"
#include "support/machine_runner.h"

namespace {

const char *const DESC = R"({
  "platform": 16,
  "boards": [],
  "mtd": {"9": 10485760},
  "files": {"/etc/fwrevision": "V1.2.3-abcdefghij\n"}
})";

// The probe, with the control board's temperature sensor reading r = 300.
std::string script(const std::string &steps) {
    return "P=" + build_path("kmx-record-probe") + "; printf '\\054\\001\\000\\000' >/dev/tmp_sensor; " + steps;
}

MachineRun run(const std::string &steps) { return run_machine(DESC, {"sh", "-c", script(steps)}); }

// The probe's steps in the same machine with a /tmp of `size` (a tmpfs
// size: "3m", "64k").
MachineRun run_small_tmp(const char *size, const std::string &steps) {
    std::string desc = DESC;
    desc.insert(desc.find("  \"files\""), std::string("  \"sizes\": {\"/tmp\": \"") + size + "\"},\n");
    return run_machine(desc, {"sh", "-c", script(steps)});
}

struct Flash {
    std::string img;
    std::string slot(uint32_t s, uint32_t count = 1) const {
        return img.substr(size_t(s) * KMX_RECORD_SIZE, size_t(count) * KMX_RECORD_SIZE);
    }
    record_head_sec head() const {
        record_head_sec h;
        memcpy(&h, img.data(), sizeof h);
        return h;
    }
    bool head_ok() const {
        const record_head_sec h = head();
        return memcmp(h.tag, "LOG#", 4) == 0 &&
               kmx_crc32(0, reinterpret_cast<const unsigned char *>(&h), offsetof(record_head_sec, crc)) == h.crc;
    }
};

Flash flash(const MachineRun &r) { return Flash{r.file("/run/sim/mtd9.img")}; }

int count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

// Block 0's copy, written before block 0 itself, in the area's last block.
constexpr size_t kCopyAt = 0x9E0000;
const std::string kBlock0Rewrite = "erase /run/sim/mtd9.img 10354688 131072\nerase /run/sim/mtd9.img 0 131072\n";
// Any other ring block's image goes to the ring copy (0x9C0000), its tag
// (0x9A0000) erased first.
const std::string kRingCopy = "erase /run/sim/mtd9.img 10092544 131072\nerase /run/sim/mtd9.img 10223616 131072\n";

std::string erased(uint32_t records) { return std::string(size_t(records) * KMX_RECORD_SIZE, '\xFF'); }

TEST(RecordRing, RecordsReachFlashAndSurviveARestart) {
    MachineRun r = run("$P init append 12 && $P init append 1 save flush head && $P init head");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "init 1\nappend 12 12\ninit 1\nappend 1 13\nflush 1 0 0\nhead 13 13\ninit 1\nhead 13 13\n");
    // The second run took over the first run's twelve records.
    EXPECT_NE(r.syslog().find("has 12 records no store because of xg existing !"), std::string::npos);
    const std::string saved = r.file("/tmp/saved_records");
    ASSERT_EQ(saved.size(), 13u * KMX_RECORD_SIZE);
    const Flash f = flash(r);
    EXPECT_TRUE(f.head_ok());
    EXPECT_EQ(memcmp(f.head().version, "0106", 4), 0);
    EXPECT_EQ(f.slot(2, 13), saved);
    EXPECT_EQ(f.slot(15), erased(1));
    // Record values: control-board temperature 90 degrees (+64), CPU use of
    // the busybox top line (96 % idle), the 15 characters of fwrevision.
    EXPECT_EQ(uint8_t(saved[15]), 154);
    EXPECT_EQ(uint8_t(saved[16]), 4);
    EXPECT_EQ(saved.substr(19, 16), std::string(".2.3-abcdefghij\0", 16));
    EXPECT_EQ(r.file("/tmp/running_record"), "");
    // The first head took the (zeroed) key along, though no event was
    // pending: an erased key would read as history temperatures of 255.
    EXPECT_EQ(f.img.substr(50, 462), std::string(462, '\0'));
    // Two start-up erases of a blank area, then block 0 alone for the flush,
    // after its copy in the area's last block.
    const std::string log = r.file("/run/sim/mtd.log");
    EXPECT_EQ(count(log, " 0 10485760\n"), 2) << log;
    EXPECT_EQ(count(log, "erase "), 4) << log;
    EXPECT_EQ(log.substr(log.size() - kBlock0Rewrite.size()), kBlock0Rewrite) << log;
    EXPECT_EQ(f.img.substr(kCopyAt, KMX_RECORD_BLOCK), f.img.substr(0, KMX_RECORD_BLOCK));
}

TEST(RecordRing, WrapFromTheSecondToLastBlockLosesNothing) {
    // 66 records from ring position 10740 (slot 10742, block 20): 62 fill
    // slots up to 10803 across blocks 20 and 21, 4 wrap to slots 2..5.
    MachineRun r = run("$P init pos 10740 10790 event 2 flush head && rm /run/sim/mtd.log && "
                       "$P init head append 66 save flush head");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "init 1\nflush 1 0 0\nhead 10740 10790\ninit 1\nhead 10740 10790\nappend 66 66\n"
                     "flush 1 0 0\nhead 4 10802\n");
    const std::string saved = r.file("/tmp/saved_records");
    ASSERT_EQ(saved.size(), 66u * KMX_RECORD_SIZE);
    const Flash f = flash(r);
    EXPECT_TRUE(f.head_ok());
    EXPECT_EQ(f.head().cur_pos, 4u);
    EXPECT_EQ(f.slot(10742, 62), saved.substr(0, 62 * KMX_RECORD_SIZE));
    EXPECT_EQ(f.slot(2, 4), saved.substr(62 * KMX_RECORD_SIZE));
    EXPECT_EQ(f.slot(10741), erased(1));
    EXPECT_EQ(f.slot(6), erased(1));
    // Blocks 20, 21 and 0, each erased once after its copy (the ring
    // copy's tag and image blocks for 20 and 21).
    EXPECT_EQ(r.file("/run/sim/mtd.log"), kRingCopy + "erase /run/sim/mtd9.img 2621440 131072\n" + kRingCopy +
                                              "erase /run/sim/mtd9.img 2752512 131072\n" + kBlock0Rewrite);
}

TEST(RecordRing, FullRingStartsAgainAtTheFirstSlotAndKeepsTheRest) {
    MachineRun r = run("$P init pos 10802 10802 event 2 flush && $P init append 11 save flush head "
                       "pos 10791 10802 append 11 flush head");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "init 1\nflush 1 0 0\ninit 1\nappend 11 11\nflush 1 0 0\nhead 11 10802\n"
                     "append 11 11\nflush 1 0 0\nhead 10802 10802\n");
    const Flash f = flash(r);
    EXPECT_EQ(f.slot(2, 11), r.file("/tmp/saved_records"));
    // The last 11 slots are filled exactly to the end: position 10802, not 0.
    EXPECT_EQ(f.head().cur_pos, 10802u);
    EXPECT_NE(f.slot(10803), erased(1));
}

TEST(RecordHead, DamagedOrOlderHeadsAreRefusedAndTheAreaErased) {
    struct Case {
        const char *damage;
        const char *log;
    };
    // A broken head with a broken copy (10354708 and 10354688: the copy's
    // reserved byte 20 and its tag).
    const Case cases[] = {
        {"$P poke 20 7 poke 10354708 7", "log_head crc  is wrong !"},
        {"$P poke 0 120 poke 10354688 120", "log_head_tag is wrong !"},
        {"$P init version 0105 event 2 flush", "log_head_version has changed !"},
        {"$P init pos 30000 0 event 2 flush", "log_head is out of range !"},
    };
    for (const Case &c : cases) {
        MachineRun r = run(std::string("$P init append 11 flush && ") + c.damage +
                           " && rm /run/sim/mtd.log && $P init head");
        ASSERT_EQ(r.status, 0) << c.damage << "\n" << r.out;
        EXPECT_NE(r.out.find("\ninit 1\nhead 0 0\n"), std::string::npos) << c.damage << "\n" << r.out;
        EXPECT_NE(r.syslog().find(c.log), std::string::npos) << c.damage;
        EXPECT_EQ(r.file("/run/sim/mtd.log"), "erase /run/sim/mtd9.img 0 10485760\n") << c.damage;
        EXPECT_EQ(flash(r).slot(2), erased(1)) << c.damage;
    }
    // A newer version of the same layout is kept.
    MachineRun r = run("$P init append 11 flush version 0107 event 2 flush && rm /run/sim/mtd.log && $P init head");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\ninit 1\nhead 11 11\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.file("/run/sim/mtd.log"), "");
}

TEST(RecordFlash, FailedStepsKeepTheWaitingRecordsForTheNextPass) {
    // Records go to block 1, the head to block 0. "write 1" fails the head's
    // write after the records' one went through.
    for (const char *fault : {"open", "read", "erase", "write", "write 1", "erase 1"}) {
        MachineRun r = run(std::string("$P init pos 600 600 event 2 flush append 11 save fault '") + fault +
                           "' flush flush head");
        ASSERT_EQ(r.status, 0) << fault << "\n" << r.out;
        EXPECT_NE(r.out.find("append 11 11\nflush 0 11 2816\nflush 1 0 0\nhead 611 611\n"), std::string::npos)
            << fault << "\n" << r.out;
        const Flash f = flash(r);
        EXPECT_TRUE(f.head_ok()) << fault;
        EXPECT_EQ(f.slot(602, 11), r.file("/tmp/saved_records")) << fault;
        EXPECT_EQ(f.slot(613), erased(1)) << fault;
    }
    // Block 1 worn (its erase fails for good): a pass right after the failed
    // flush does not try again, sparing the ring copy's blocks. After the
    // block was replaced the start writes its copy back over it, and the
    // waiting records go out once.
    MachineRun r = run("$P init pos 600 600 event 2 flush && rm /run/sim/mtd.log && "
                       "$P init append 11 fault 'bad 1' flush nand nand && cp /run/sim/mtd.log /tmp/worn.log && "
                       "rm /run/sim/mtd.faults && $P init append 1 save flush head");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("append 11 11\nflush 0 11 2816\nnand 0 11\nnand 0 11\ninit 1\nappend 1 12\nflush 1 0 0\n"
                         "head 612 612\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.file("/tmp/worn.log"), kRingCopy + "erase /run/sim/mtd9.img 131072 131072 failed\n");
    EXPECT_NE(r.syslog().find("log block 1 is taken from its copy !"), std::string::npos);
    const Flash f = flash(r);
    EXPECT_TRUE(f.head_ok());
    EXPECT_EQ(f.slot(602, 12), r.file("/tmp/saved_records"));
    EXPECT_EQ(f.slot(614), erased(1));
}

// A worn ring block under a program that restarts every minute for over two hours:
// the back-off kept beside the record file holds across the starts, so the
// loop erases the ring copy's blocks (77 and 78) and the worn block once an
// hour, as a program that runs on does; the firmware change, in the waiting records since the
// first start, is not raised again at each start. Once the block is replaced
// every record reaches flash once, and the key with the new firmware.
TEST(RecordFlash, ARestartLoopOverAWornBlockBacksOffAsARunningProgramWould) {
    MachineRun r = run("$P init pos 600 600 event 2 flush >/dev/null && rm /run/sim/mtd.log && "
                       "echo 'bad 1' >/run/sim/mtd.faults && i=0 && "
                       "while [ $i -lt 125 ]; do $P at $((200000 + i * 60)) init fw append 1 nand || exit 1; "
                       "i=$((i + 1)); done >/tmp/loop.out && mv /run/sim/mtd.log /tmp/loop.log && "
                       "ls /tmp && rm /run/sim/mtd.faults && $P at 210000 init fw append 1 save flush head");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string loop = r.file("/tmp/loop.out");
    EXPECT_EQ(count(loop, "fw 1 1"), 1) << loop;
    // Tries at the first start, an hour and two hours after it.
    const std::string erases = r.file("/tmp/loop.log");
    EXPECT_EQ(count(erases, "erase /run/sim/mtd9.img 10092544 131072\n"), 3) << erases.substr(0, 2000);
    EXPECT_EQ(count(erases, "erase /run/sim/mtd9.img 10223616 131072\n"), 3);
    // The worn block itself: the starts take its copy back into memory only.
    EXPECT_EQ(count(erases, "erase /run/sim/mtd9.img 131072 131072 failed\n"), 3);
    EXPECT_NE(r.out.find("running_record.backoff\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("init 1\nfw 0 0 [.2.3-abcdefghij]\nappend 1 126\nflush 1 0 0\nhead 726 726\n"),
              std::string::npos)
        << r.out;
    const std::string saved = r.file("/tmp/saved_records");
    ASSERT_EQ(saved.size(), 126u * KMX_RECORD_SIZE);
    const Flash f = flash(r);
    EXPECT_TRUE(f.head_ok());
    EXPECT_TRUE(f.slot(602, 126) == saved);
    EXPECT_EQ(f.img.substr(50, 15), ".2.3-abcdefghij");
    // The change is in the first start's record, and in no other.
    int marked = 0;
    for (size_t i = 0; i < 126; i++) marked += saved[i * KMX_RECORD_SIZE + offsetof(machine_para, event_type)] != 0;
    EXPECT_EQ(marked, 1);
    EXPECT_EQ(saved[offsetof(machine_para, event_type)], EVENTS_FW_CHANGE);
    EXPECT_EQ(r.file("/tmp/running_record.backoff"), "");
}

TEST(RecordFlash, PowerCutDuringAFlushKeepsThePreviousRecords) {
    // Run 1 stores 11 records at slots 602..612. Run 2 loses power while
    // writing block 1 back after its copy (131072 bytes and a 16-byte tag),
    // 100 bytes into its new records (slot 613 is at byte 25856 of the
    // block, whose first 50 bytes go last). Run 3 writes block 1 back from
    // the copy, finds the old head and the waiting records and stores them
    // again.
    MachineRun r = run("$P init pos 600 600 event 2 flush append 11 save flush head; "
                       "$P init append 11 save fault 'cut " + std::to_string(131072 + 16 + 25956 - 50) +
                       "' flush; echo \"status $?\"; $P init head append 1 save flush head");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("append 11 11\nstatus 137\ninit 1\nhead 611 611\nappend 1 12\nflush 1 0 0\nhead 623 623\n"),
              std::string::npos)
        << r.out;
    const std::string saved = r.file("/tmp/saved_records");
    // saved: run 1's 11, run 2's 11, run 3's 12 (run 2's again and one more).
    ASSERT_EQ(saved.size(), 34u * KMX_RECORD_SIZE);
    const Flash f = flash(r);
    EXPECT_TRUE(f.head_ok());
    EXPECT_EQ(f.slot(602, 11), saved.substr(0, 11 * KMX_RECORD_SIZE));
    EXPECT_EQ(f.slot(613, 12), saved.substr(22 * KMX_RECORD_SIZE));
    EXPECT_EQ(saved.substr(11 * KMX_RECORD_SIZE, 11 * KMX_RECORD_SIZE), saved.substr(22 * KMX_RECORD_SIZE, 11 * KMX_RECORD_SIZE));
    EXPECT_NE(r.syslog().find("log block 1 is taken from its copy !"), std::string::npos);
}

TEST(RecordFlash, PowerCutWhileBlockZeroIsRewrittenLosesNoStoredRecord) {
    // Run 1 stores 11 records at slots 2..12, all in block 0. Run 2 loses
    // power during the flush of 11 more, `cut` bytes into its writes: block
    // 0's copy (131072 bytes, its head last), then block 0 (the same); the
    // record file in RAM goes with the power. Run 3 must find either the old
    // head over the 11 old records or the new one over all 22, never a head
    // that claims an erased slot.
    struct Case {
        long cut;
        uint32_t total;  // what run 3's head claims
    };
    const Case cases[] = {{0, 11},           {64, 11},          {3000, 11},         {131021, 11},
                          {131040, 11},      {131072, 11},      {131072 + 1, 22},
                          {131072 + 64, 22}, {131072 + 3000, 22}, {131072 + 131040, 22}};
    for (const Case &c : cases) {
        MachineRun r = run("$P init append 11 save flush head; $P init append 11 save fault 'cut " +
                           std::to_string(c.cut) + "' flush; echo \"status $?\"; rm -f /tmp/running_record; $P init head");
        ASSERT_EQ(r.status, 0) << c.cut << "\n" << r.out;
        const std::string want = "head 11 11\ninit 1\nappend 11 11\nstatus 137\ninit 1\nhead " +
                                 std::to_string(c.total) + " " + std::to_string(c.total) + "\n";
        EXPECT_NE(r.out.find(want), std::string::npos) << c.cut << "\n" << r.out;
        const std::string saved = r.file("/tmp/saved_records");
        ASSERT_EQ(saved.size(), 22u * KMX_RECORD_SIZE) << c.cut;
        const Flash f = flash(r);
        EXPECT_TRUE(f.head_ok()) << c.cut;
        EXPECT_EQ(f.head().total_records, c.total) << c.cut;
        EXPECT_TRUE(f.slot(2, c.total) == saved.substr(0, size_t(c.total) * KMX_RECORD_SIZE)) << c.cut;
        // The key went along.
        EXPECT_EQ(f.img.substr(50, 462), std::string(462, '\0')) << c.cut;
        const bool taken = r.syslog().find("log_head is taken from its copy !") != std::string::npos;
        EXPECT_EQ(taken, c.total == 22) << c.cut;
    }
}

TEST(RecordFile, APartRecordLeftByACrashIsCutOffAtTakeover) {
    MachineRun r = run("$P init append 3 save && printf 'abc' >>/tmp/running_record && $P init append 1 save");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "init 1\nappend 3 3\ninit 1\nappend 1 4\n");
    EXPECT_NE(r.syslog().find("has 3 records no store because of xg existing !"), std::string::npos);
    const std::string saved = r.file("/tmp/saved_records");
    ASSERT_EQ(saved.size(), 7u * KMX_RECORD_SIZE);
    const std::string file = r.file("/tmp/running_record");
    ASSERT_EQ(file.size(), 4u * KMX_RECORD_SIZE);
    EXPECT_EQ(file.substr(0, 3 * KMX_RECORD_SIZE), saved.substr(0, 3 * KMX_RECORD_SIZE));
    EXPECT_EQ(file, saved.substr(3 * KMX_RECORD_SIZE));
}

// A full record file in a /tmp without room for the trim's copy: the file
// keeps its bound and its records, the new ones are dropped, said once.
TEST(RecordFile, AFullFileStaysInItsBoundWithoutRoomToTrim) {
    MachineRun r = run_small_tmp("3m", "head -c $((10801 * 256)) /dev/urandom >/tmp/running_record && "
                                       "cp /tmp/running_record /run/sim/full.rec && $P init append 5");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "init 1\nappend 1 10802\n");
    const std::string file = r.file("/tmp/running_record");
    ASSERT_EQ(file.size(), size_t(KMX_RECORD_SLOTS) * KMX_RECORD_SIZE);
    EXPECT_TRUE(file.compare(0, 10801 * KMX_RECORD_SIZE, r.file("/run/sim/full.rec")) == 0);
    EXPECT_EQ(count(r.syslog(), "/tmp/running_record holds 10802 records and /tmp has no room to drop the oldest: "
                                "the new ones are dropped !"),
              1);
}

// A flush of three batches and more in a /tmp without room for the file's
// rewrite after a batch: the stored batches stay at the file's front. When
// the second batch fails, the next flush starts behind the first: every
// record reaches flash once, in order.
TEST(RecordFile, StoredBatchesThatCannotLeaveTheFileAreNotStoredAgain) {
    MachineRun r = run_small_tmp("64k", "$P init append 200 >/dev/null && cp /tmp/running_record /run/sim/all.rec && "
                                        "$P init ddr fault 'erase 2' flush flush head");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "init 1\nddr 1 201\nflush 0 201 51456\nflush 1 0 0\nhead 201 201\n");
    const std::string all = r.file("/run/sim/all.rec");
    ASSERT_EQ(all.size(), 200u * KMX_RECORD_SIZE);
    EXPECT_TRUE(flash(r).slot(2, 200) == all);
}

TEST(RecordFile, AnEarlierRunsUnfinishedRewriteIsRemovedAtStart) {
    // A rewrite of the record file killed in an earlier run left its
    // temporary copy beside it; a file that only looks like one stays.
    MachineRun r = run("$P init append 2 && printf half >/tmp/running_record.tmpAb12Cd && "
                       "printf kept >/tmp/running_record.tmp-not && $P init append 1 && ls /tmp");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count(r.out, "running_record.tmpAb12Cd"), 0) << r.out;
    EXPECT_EQ(count(r.out, "running_record.tmp-not"), 1) << r.out;
    EXPECT_NE(r.syslog().find("removed 1 unfinished copies of /tmp/running_record"), std::string::npos);
    EXPECT_EQ(r.file("/tmp/running_record").size(), 3u * KMX_RECORD_SIZE);
}

TEST(RecordEvents, OverheatIsRecordedAndFlushedInTheSamePass) {
    MachineRun r = run("$P init append 1 chain 2 140 160 130 overheat 2 ddr nand pending head event 2 ddr save");
    ASSERT_EQ(r.status, 0) << r.out;
    // No 60 s wait for the record, no hour for the flush.
    EXPECT_EQ(r.out, "init 1\nappend 1 1\nddr 1 2\nnand 1 0\npending 0\nhead 2 2\nddr 1 1\n");
    EXPECT_NE(r.syslog().find("evnets:3 chain_2 over temp !"), std::string::npos);
    const Flash f = flash(r);
    const std::string last = f.slot(3);
    EXPECT_EQ(uint8_t(last[35]), EVENTS_OVER_TEMP);
    EXPECT_EQ(uint8_t(f.slot(2)[35]), EVENTS_NULL);
    // Chain 2's temperatures are in the record (96 + 2 * 20) ...
    EXPECT_EQ(uint8_t(last[136]), 140);
    EXPECT_EQ(uint8_t(last[137]), 160);
    EXPECT_EQ(uint8_t(last[138]), 130);
    // ... and cleared in the next one.
    const std::string next = r.file("/tmp/saved_records");
    ASSERT_EQ(next.size(), KMX_RECORD_SIZE);
    EXPECT_EQ(next.substr(136, 3), std::string(3, '\0'));
    // The key went out with the head.
    EXPECT_EQ(f.img.substr(50, 462), std::string(462, '\0'));
}

}  // namespace
