// The disk failing under the collector: a "temp" that cannot be created, a
// rename that fails, the state file's or the output file's disk full. Each
// fault lasts two cycles of a six-cycle work unit; the checkpoint reports
// "checkpoint failed" with the error's text, what the last good checkpoint
// wrote stays on the disk, and the work unit goes on to its end.
//
// Faults come from a wrapper of the platform (FaultyPlatform: a file created
// but full, an open or a rename failing with a given errno), from the
// system itself where a directory in the way is enough (root ignores file
// modes), from /dev/full under the open output file, and, where the test may
// mount one, from a small tmpfs filled to the last byte.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/collection_cycle.h"
#include "driver/log.h"
#include "driver/startup.h"
#include "tests/fakes/fake_gui_rpc_server.h"
#include "tests/fakes/faulty_platform.h"
#include "tests/fakes/test_support.h"

namespace {

const char kUrl[] = "http://localhost/disk/";

// A work unit of six cycles: the collector's own task and w1 execute
// throughout, w2 in cycles 1 and 2 and is completed in cycle 3.
class DiskFaultsTest : public CollectorTest {
 protected:
  void SetUp() override {
    CollectorTest::SetUp();
    use_faulty_platform();
    client.add_project(kUrl, "Disk", 5);
    client.add_app("worker", "Worker");
    client.add_app_version("worker", 100, "x86_64-pc-linux-gnu");
    client.add_workunit("own", "worker");
    client.add_workunit("w1", "worker");
    client.add_workunit("w2", "worker");
    client.before_call = [this](const std::string& call) {
      const int n = c().cycle_counter;
      client.active = {make_executing("own_0", "own", kUrl, 0),
                       make_executing("w1_0", "w1", kUrl, 1)};
      if (n <= 2) client.active.push_back(make_executing("w2_0", "w2", kUrl, 2));
      client.all = client.active;
      if (n >= 3) client.all.push_back(make_finished_result("w2_0", "w2", kUrl, 30.0, 31.0));
      if (call == "get_results(active)") at_cycle(n);
    };
  }

  void use_faulty_platform() { c().platform = &faulty; }

  // Called at each cycle's query of the active tasks, before its checkpoint:
  // the fault is switched on for cycles 2 and 3, and the files as the last
  // checkpoint left them are kept.
  void at_cycle(int n) {
    struct stat st;
    const bool temp_file = stat("temp", &st) == 0 && S_ISREG(st.st_mode);
    snapshots.push_back({read_file("checkpoint"), read_file("cache"), temp_file});
    if (n == 2 && fault_on) fault_on();
    if (n == 4 && fault_off) fault_off();
  }

  void run_work_unit() {
    c().settings.cycle_count = 6;
    ASSERT_EQ(0, open_and_restore(c()));
    run_collection(c());
  }

  // The state file is whole: its last line is the checkpoint line.
  static bool state_file_whole(const std::string& text) {
    if (text.empty() || text.back() != '\n') return false;
    std::vector<std::string> lines = split_lines(text);
    return lines.back().compare(0, 13, "Checkpoint\t-\t") == 0;
  }

  struct Snapshot {
    std::string counters, state;
    bool temp;  // a file "temp" is there
  };
  FaultyPlatform faulty{&platform};
  std::function<void()> fault_on, fault_off;
  std::vector<Snapshot> snapshots;  // at cycles 1, 2, ... (index n - 1)
};

struct CheckpointFaultCase {
  const char* name;
  std::function<void(FaultyPlatform&)> on, off;
  const char* message;  // what each failed checkpoint logs after "checkpoint failed "
  bool counters_kept;   // the counters file stays as checkpoint 1 left it
  bool temp_left;       // "temp" stays behind during the fault
};

// The state file's temporary sibling is named after the task ("task" when,
// as in test mode, the init data give no result name).
std::string state_temp_name() { return "cache.task.tmp"; }

const CheckpointFaultCase kCheckpointFaults[] = {
    {"TempNotCreatable",  // a directory in the way
     [](FaultyPlatform&) { make_dirs("temp"); }, [](FaultyPlatform&) { rmdir("temp"); },
     "Operation not permitted", true, false},
    {"CountersRenameFails",
     [](FaultyPlatform& p) { p.rename.fail("checkpoint", EXDEV); },
     [](FaultyPlatform& p) { p.rename.clear(); }, "Invalid cross-device link", true,
     true},
    {"StateFileNotCreatable",  // a directory in the way
     [](FaultyPlatform&) { make_dirs(state_temp_name()); },
     [](FaultyPlatform&) { rmdir(state_temp_name().c_str()); }, "Operation not permitted",
     false, false},
    {"StateFileDiskFull", [](FaultyPlatform& p) { p.full.fail("cache", ENOSPC); },
     [](FaultyPlatform& p) { p.full.clear(); }, "Operation not permitted", false, false},
    {"StateFileSyncFails", [](FaultyPlatform& p) { p.sync.fail("cache", EIO); },
     [](FaultyPlatform& p) { p.sync.clear(); }, "Operation not permitted", false, false},
    {"StateFileRenameFails", [](FaultyPlatform& p) { p.rename.fail("cache", EROFS); },
     [](FaultyPlatform& p) { p.rename.clear(); }, "Operation not permitted", false,
     false},
};

class CheckpointFaultTest : public DiskFaultsTest,
                            public ::testing::WithParamInterface<size_t> {};

// Checkpoints 2 and 3 fail; the files on the disk are those of checkpoint 1
// (except a counters file one checkpoint ahead when only the state file
// failed, which start-up reads back to the state file's checkpoint), and
// checkpoint 4 and the finish's succeed again.
TEST_P(CheckpointFaultTest, KeepsTheLastGoodCheckpointAndGoesOn) {
  const CheckpointFaultCase& k = kCheckpointFaults[GetParam()];
  fault_on = [this, &k] { k.on(faulty); };
  fault_off = [this, &k] { k.off(faulty); };
  run_work_unit();
  ASSERT_EQ(6u, snapshots.size());
  const Snapshot& good = snapshots[1];  // as checkpoint 1 left the files
  ASSERT_TRUE(state_file_whole(good.state));
  for (int n : {3, 4}) {
    SCOPED_TRACE("after checkpoint " + std::to_string(n - 1));
    const Snapshot& during = snapshots[n - 1];
    EXPECT_EQ(good.state, during.state);
    if (k.counters_kept) {
      EXPECT_EQ(good.counters, during.counters);
    } else {
      // Replaced before the state file failed: one checkpoint ahead.
      ASSERT_EQ(5u, split_lines(during.counters).size());
      EXPECT_EQ(std::to_string(n - 1), split_lines(during.counters)[0]);
    }
    EXPECT_EQ(k.temp_left, during.temp);
  }
  EXPECT_EQ(2, log_count(std::string("checkpoint failed ") + k.message + "\n")) << log();
  EXPECT_EQ(2, log_count("checkpoint failed"));
  // No temporary state file left behind in the project directory.
  EXPECT_EQ("cache\ncheckpoint\nout\n", list_directory("."));
  // The work unit went on to its end, and its finish is checkpointed.
  std::vector<std::string> counters = split_lines(read_file("checkpoint"));
  ASSERT_EQ(5u, counters.size());
  EXPECT_EQ("6", counters[0]);
  EXPECT_EQ("1", counters[4]);
  EXPECT_EQ(std::to_string(read_file("out").size()), counters[3]);
  EXPECT_EQ(6u, lines_starting(without_prefixes(read_file("out")), "P: cycle").size());
  EXPECT_EQ(2u, lines_starting(read_file("out"), "Activetask\t").size());
  EXPECT_NE(std::string::npos, read_file("out").find(";run;w2_0;"));
  EXPECT_TRUE(state_file_whole(read_file("cache")));
}

INSTANTIATE_TEST_SUITE_P(Faults, CheckpointFaultTest, case_indexes<kCheckpointFaults>(),
                         case_name_of<kCheckpointFaults>);

// The output file's disk fills up during cycle 2 and has room again during
// cycle 4: whatever the collector flushes in between is lost, as the buffer
// is emptied anyway, but every line that reaches the file is whole, the
// checkpoints (on another disk) record the file's true length, and the work
// unit goes on.
TEST_F(DiskFaultsTest, OutputDiskFullLosesOnlyWhatWasFlushedMeanwhile) {
  OpenFilesOnFullDevice full;
  int switched = 0;
  fault_on = [&] { switched = full.fill("out"); };
  fault_off = [&] { full.restore(); };
  // Nothing is written to the output between the checkpoint's reading of
  // its length and the counters file's rename.
  int checked = 0;
  faulty.observe = [&](FaultyPlatform::Op op, const std::string&, bool after, bool failed) {
    if (op != FaultyPlatform::Op::runtime_rename || !after || failed) return;
    std::vector<std::string> counters = split_lines(read_file("checkpoint"));
    ASSERT_EQ(5u, counters.size());
    EXPECT_EQ(std::to_string(read_file("out").size()), counters[3]) << "checkpoint " << counters[0];
    checked++;
  };
  run_work_unit();
  EXPECT_EQ(7, checked);
  ASSERT_EQ(1, switched);
  EXPECT_EQ(0, log_count("checkpoint failed"));
  const std::string out = read_file("out");
  ASSERT_FALSE(out.empty());
  EXPECT_EQ('\n', out.back());
  std::vector<std::string> cycles = lines_starting(without_prefixes(out), "P: cycle");
  // Flushed before the disk filled: cycle 2's line; after it had room again:
  // the records of cycle 4 and the later cycles.
  EXPECT_EQ(std::vector<std::string>({"P: cycle1", "P: cycle2", "P: cycle5", "P: cycle6"}),
            cycles);
  // w2 was completed in cycle 3: its records were flushed into the full disk.
  EXPECT_EQ(std::string::npos, out.find(";run;w2_0;"));
  EXPECT_FALSE(c().tables.Result.count("w2_0"));
  std::vector<std::string> counters = split_lines(read_file("checkpoint"));
  ASSERT_EQ(5u, counters.size());
  EXPECT_EQ(std::to_string(out.size()), counters[3]);
  EXPECT_EQ("1", counters[4]);
  EXPECT_EQ(2u, lines_starting(out, "Activetask\t").size());
}

// On a full disk "temp" can be created but not written: an empty counters
// file must not replace the last good one, or a process started after that
// would take the task for a new one (cycle numbers from 1 again, records
// such as "active_project" twice). The checkpoint fails and says so.
TEST_F(DiskFaultsTest, CountersFileOnAFullDiskKeepsTheLastGoodCheckpoint) {
  fault_on = [this] { faulty.full.fail("temp", ENOSPC); };
  c().settings.cycle_count = 6;
  ASSERT_EQ(0, open_and_restore(c()));
  // The task is stopped during cycle 4, before its checkpoint.
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    client.before_call = [this, base = client.before_call](const std::string& call) {
      base(call);
      if (call == "get_results(active)" && c().cycle_counter == 4) raise(SIGKILL);
    };
    run_collection(c());
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status));
  // What the last good checkpoint (cycle 1) or the state file (cycle 3)
  // said must still be there.
  std::vector<std::string> counters = split_lines(read_file("checkpoint"));
  EXPECT_EQ(5u, counters.size()) << "counters file: [" << read_file("checkpoint") << "]";

  // The client starts the task again, with room on the disk.
  new_collector();
  use_faulty_platform();
  faulty.full.clear();
  fault_on = nullptr;
  run_work_unit();
  const std::string out = without_prefixes(read_file("out"));
  EXPECT_EQ(1u, lines_starting(out, "P: cycle1").size()) << out;
  size_t announced = 0;
  for (const std::string& line : split_lines(out)) {
    if (line.find(";active_project;") != std::string::npos) announced++;
  }
  EXPECT_EQ(1u, announced) << out;
}

}  // namespace

namespace {

// The slot on a small tmpfs that the test fills to the last byte: a real
// ENOSPC for the output file, the counters file and the state file at once.
// Needs the right to mount (root in most CI containers); skipped otherwise.
class FullDiskTest : public DiskFaultsTest {
 protected:
  void SetUp() override {
    DiskFaultsTest::SetUp();
    disk_ = dir->path() + "/disk";
    make_dirs(disk_);
    if (mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=256k") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    }
    mounted_ = true;
    ASSERT_EQ(0, chdir(disk_.c_str()));
  }
  void TearDown() override {
    if (mounted_) {
      if (chdir(dir->path().c_str()) != 0) ADD_FAILURE() << "chdir";
      // The collector's output stream is still open: detach.
      umount2(disk_.c_str(), MNT_DETACH);
    }
    DiskFaultsTest::TearDown();
  }

  // Writes a filler file until the disk has no room left.
  static void fill() {
    FILE* f = fopen("filler", "ab");
    if (!f) return;
    std::string block(512, 'f');
    for (int i = 0; i < 100000; i++) {
      if (fwrite(block.data(), 1, block.size(), f) != block.size() || fflush(f) != 0) break;
    }
    fclose(f);
  }

  std::string disk_;
  bool mounted_ = false;
};

// Full during cycles 2 and 3 (filled again at each), room again in cycle 4.
TEST_F(FullDiskTest, StateFileStaysWholeAndTheRunGoesOn) {
  fault_on = [this] {
    fill();
    fault_on = nullptr;
  };
  client.before_call = [this, base = client.before_call](const std::string& call) {
    base(call);
    if (call == "get_results(active)" && c().cycle_counter == 3) fill();
  };
  fault_off = [] { remove("filler"); };
  run_work_unit();
  ASSERT_EQ(6u, snapshots.size());
  int counters_emptied = 0;
  for (size_t n = 2; n <= snapshots.size(); n++) {
    EXPECT_TRUE(state_file_whole(snapshots[n - 1].state)) << "after checkpoint " << n - 1;
    if (snapshots[n - 1].counters.empty()) counters_emptied++;
  }
  // Each failed checkpoint says so, with the text of its return code.
  EXPECT_GE(log_count("checkpoint failed"), 1) << log();
  EXPECT_EQ(log_count("checkpoint failed"),
            log_count("checkpoint failed Operation not permitted\n"));
  std::vector<std::string> counters = split_lines(read_file("checkpoint"));
  ASSERT_EQ(5u, counters.size());
  EXPECT_EQ("6", counters[0]);
  EXPECT_EQ("1", counters[4]);
  EXPECT_TRUE(state_file_whole(read_file("cache")));
  EXPECT_EQ(2u, lines_starting(read_file("out"), "Activetask\t").size());
  printf("[ figures  ] full tmpfs: %d checkpoints failed, counters file left empty by %d of "
         "them\n",
         log_count("checkpoint failed"), counters_emptied);
}

// A flush that the full disk cuts short must not leave the part of the
// buffer that fitted (a record cut in the middle, to which the next flush,
// once there is room, would glue the following line): the file goes back to
// its length before the flush.
TEST_F(FullDiskTest, FlushCutShortLeavesNoPartOfARecord) {
  write_file("checkpoint", "0\n0\n0\n");  // a resumed task: the output is appended to
  client.before_call = [this, base = client.before_call](const std::string& call) {
    base(call);
    if (call != "get_results(active)") return;
    if (c().cycle_counter == 3) {
      // Room for 60 bytes in the output's last page, then nothing else:
      // the completion records of w2, flushed next, do not fit.
      size_t room = 4096 - read_file("out").size() % 4096;
      if (room > 60) {
        std::string pad(room - 60, '#');
        pad.back() = '\n';
        FILE* f = fopen("out", "ab");
        ASSERT_NE(nullptr, f);
        fwrite(pad.data(), 1, pad.size(), f);
        fclose(f);
      }
      fill();
    }
    if (c().cycle_counter == 5) remove("filler");
  };
  run_work_unit();
  static const std::regex inner_prefix(".[0-9]{2}:[0-9]{2}:[0-9]{2} \\([0-9]+\\): ");
  for (const std::string& line : split_lines(read_file("out"))) {
    EXPECT_FALSE(std::regex_search(line, inner_prefix)) << "a record and a line glued: " << line;
  }
}

}  // namespace
