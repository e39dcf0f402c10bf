// Stack traces in the deadlock report ("stackTraces" in the "debug" section):
// each thread of a real cycle contributes its own stack, the reporter's taken
// in place, every other one taken by the thread itself while it is blocked in
// its lock wait. Off, the report stays as it always was.
#include <regex>
#include <sstream>

#include "deadlock_cycle.h"

namespace {

using namespace cycle;
RE5ZOR4_TEST_START_MODULE();

// One thread's block: "Stack of thread <id>:" and its frames "  #0 ...",
// "  #1 ..." numbered from 0, or one note line.
struct Block {
  std::string id;
  std::vector<std::string> frames;
  std::string note;
};

// Splits a trace section (after "can stackwalk!") into thread blocks; ends the
// child when its shape is wrong: a block not starting with its header, frames
// not numbered in turn, or separators other than the empty line after each
// thread but the reporter.
std::vector<Block> Blocks(const std::string& text) {
  static const std::regex header("Stack of thread (0x[0-9a-f]+):");
  static const std::regex frame("  #(\\d+) (.+)");
  static const std::regex note(
      "  \\((thread has ended|no answer from the thread|stack not available)\\)");
  const auto shape = [&](bool ok, const std::string& what) {
    Check(ok, what + " in the traces:\n" + text, true);
  };
  std::vector<Block> blocks;
  std::istringstream in(text);
  std::string line;
  bool separator_due = false;
  while (std::getline(in, line)) {
    std::smatch m;
    if (line.empty()) {
      shape(separator_due, "an empty line out of place");
      separator_due = false;
    } else if (std::regex_match(line, m, header)) {
      shape(!separator_due, "no empty line before " + line);
      blocks.push_back(Block{m[1], {}, ""});
      separator_due = blocks.size() > 1;
    } else if (!blocks.empty() && std::regex_match(line, m, frame)) {
      shape(std::stoul(m[1]) == blocks.back().frames.size(), "numbering: " + line);
      blocks.back().frames.push_back(m[2]);
    } else {
      shape(!blocks.empty() && blocks.back().frames.empty() && std::regex_match(line, m, note),
            "unexpected line: " + line);
      blocks.back().note = m[1];
    }
  }
  shape(!separator_due, "no empty line after the last thread");
  return blocks;
}

bool AnyFrameHas(const Block& block, const std::string& part) {
  for (const std::string& f : block.frames)
    if (f.find(part) != std::string::npos) return true;
  return false;
}

// Cycles of two and three threads: the reporter's own block shows the test
// function that closed the cycle, each blocked thread's block the function it
// waits in, every thread once, in the order of the chain; console and file
// carry the same text.
TEST(StackTraces, EachThreadOfACycleShowsItsOwnFrames) {
  for (size_t n : {2u, 3u})
    InChild([n](Child& child) {
      t::SetConfig("stackTraces", "1");
      std::vector<std::string> names;
      for (size_t i = 0; i < n; ++i)
        names.push_back("ST" + std::to_string(n) + "." + std::to_string(i));
      Sections s;
      std::vector<uint32_t> ids;
      MakeCycle(child, names, s, ids);
      const std::string head = ChainText(s, ids) + "can stackwalk!\n";
      const std::string console = child.console.Text();
      Check(console.compare(0, head.size(), head) == 0, "console head: " + console, true);
      const std::vector<Block> blocks = Blocks(console.substr(head.size()));
      Check(blocks.size() == n, "blocks: " + std::to_string(blocks.size()), true);
      for (size_t k = 0; k < n; ++k) {  // the reporter (thread n - 1), then threads 0, 1, ...
        const size_t thread = k == 0 ? n - 1 : k - 1;
        const Block& b = blocks[k];
        Check(b.id == IdText(ids[thread]), "block " + std::to_string(k) + " is of " + b.id);
        if (k != 0 && !kSignalsReachBlockedThreads) {
          Check(b.note == "no answer from the thread", "a blocked thread answered: " + b.note);
          continue;
        }
        Check(b.note.empty() && b.frames.size() >= 3, "too few frames in block " + b.id);
        if (kFunctionNames) {
          const char* own = k == 0 ? "StackTraceTestCloserClosesCycle(ZnCritSect*, ZnCritSect*, "
                                   : "StackTraceTestHolderWaits(ZnCritSect*, ZnCritSect*, ";
          Check(AnyFrameHas(b, own), std::string("no ") + own + " in:\n" + console);
          Check(AnyFrameHas(b, "ZnDLDCritSect::Begin()+0x"), "no Begin in:\n" + console);
          Check(AnyFrameHas(b, "(libre5zor4.so"), "no module in:\n" + console);
        } else {
          Check(AnyFrameHas(b, "re5zor4.dll+0x") || k != 0, "no library frame in:\n" + console);
          Check(std::regex_search(b.frames[0], std::regex("^[^ ]+\\.(dll|exe)\\+0x[0-9a-f]+$",
                                                          std::regex::icase)),
                "first frame: " + b.frames[0]);
        }
      }
      Check(ReportFile() == kFileHead + console, "file: " + ReportFile());
    });
}

// Off (the default) the report is byte for byte the one without stacks; a
// second report in the same process, with the switch turned on meanwhile,
// has them: the switch is read for each report.
TEST(StackTraces, OffLeavesTheReportAsItWasAndIsReadPerReport) {
  InChild([](Child& child) {
    Sections s;
    std::vector<uint32_t> ids;
    MakeCycle(child, {"Off.A", "Off.B"}, s, ids);
    const std::string plain = ChainText(s, ids) + "can stackwalk!\n\n";
    Check(child.console.Text() == plain, "console: " + child.console.Text());
    Check(ReportFile() == kFileHead + plain, "file: " + ReportFile());
    Check(!std::filesystem::exists("deadlock.jsonl"), "a JSON file without the switch");
    t::SetConfig("stackTraces", "1");
    MakeCycle(child, {"On.A", "On.B"}, s, ids);
    const std::string second = child.console.Text().substr(plain.size());
    Check(second.rfind(ChainText(s, ids) + "can stackwalk!\nStack of thread 0x", 0) == 0,
          "second report: " + second);
  });
}

// A wait for a holder that ended (WaitForEndedHolder): the waiter's stack is
// there; the holder, gone, is not signalled (its id may already name another
// thread) and gets the note.
TEST(StackTraces, HolderThatEndedGetsANoteInsteadOfFrames) {
  InChild([](Child& child) {
    t::SetConfig("stackTraces", "1");
    ZnCritSect* s = Make("Gone.S");
    const auto [waiter, ended] = WaitForEndedHolder(s);
    const std::string head = "Thread " + IdText(waiter) + " wants critical section Gone.S " +
                             Hex(s) + " owned by thread " + IdText(ended) + "\nThread " +
                             IdText(ended) + " has ended\ncan stackwalk!\n";
    const std::string tail = "Stack of thread " + IdText(ended) + ":\n  (thread has ended)\n";
    const auto complete = [&] {  // the note of the ended holder comes last
      const std::string text = child.console.Text();
      return text.size() > head.size() + tail.size() &&
             text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    };
    Check(t::WaitUntil(complete), "console: " + child.console.Text(), true);
    const std::string text = child.console.Text();
    Check(text.compare(0, head.size(), head) == 0, "head: " + text);
    // The chain's last thread has ended: no empty line follows its block.
    const std::vector<Block> blocks = Blocks(text.substr(head.size()) + "\n");
    Check(blocks.size() == 2 && blocks[0].id == IdText(waiter) &&
              blocks[1].note == "thread has ended",
          "blocks in:\n" + text, true);
    Check(!kFunctionNames || AnyFrameHas(blocks[0], "StackTraceTestHolderWaits("),
          "frames:\n" + text);
  });
}

}  // namespace
