// Tests of lock-order recording ("lockOrder" = 1): the report of orders that
// form a cycle, its once-only rule, node removal and the switch. The module
// runs with the switch on; the case with it off runs in a child.
//
// Orders are taken one thread after another (each joined before the next
// starts): an order is recorded when it is taken, not when threads overlap,
// so no interleaving is needed to close a cycle, and no thread ever waits
// for another's section.
#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>

#include "deadlock_cycle.h"
#include "re5zor4/module.h"
#include "re5zor4/rw_mutex.h"

namespace {

using namespace cycle;

const char kFirstLine[] =
    "Potential deadlock: critical sections taken in orders that form a cycle\n";
const char kOrderFileHead[] =
    "******** ZARN potential deadlock log ********\n<time>\n\n******** lock order cycle ********\n";

// Restarts the module with a "debug" key set (the keys are read as it starts).
void RestartWith(const char* key, const char* value) {
  ___ZnExtendedContext(0);
  t::SetConfig(key, value);
  ___ZnExtendedContext(1);
}

// The module runs with "lockOrder" on: it is read as the module starts.
[[maybe_unused]] const bool g_lock_order = (t::SetConfig("lockOrder", "1"), true);
RE5ZOR4_TEST_START_MODULE();

void Destroy(ZnCritSect* section) {
  char* name = const_cast<char*>(section->name);
  delete section;
  free(name);
}

// Runs body on a new thread to its end; returns that thread's id as reports write it.
std::string OnThread(const std::function<void()>& body) {
  std::string id;
  std::thread([&] { id = IdText(SelfId()), body(); }).join();
  return id;
}

// Takes the sections in the given order, then releases them in reverse.
void TakeInOrder(const Sections& sections) {
  for (ZnCritSect* s : sections) s->Begin();
  for (auto it = sections.rbegin(); it != sections.rend(); ++it) (*it)->Exit();
}

std::string OrderOnThread(const Sections& sections) {
  return OnThread([&] { TakeInOrder(sections); });
}

std::string Line(const std::string& id, const void* from, const char* from_name, const void* to,
                 const char* to_name) {
  return "Thread " + id + " took " + from_name + " " + Hex(from) + " then " + to_name + " " +
         Hex(to) + "\n";
}
std::string Line(const std::string& id, ZnCritSect* from, ZnCritSect* to) {
  return Line(id, from, from->name, to, to->name);
}

class LockOrderTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::remove("deadlock.txt"); }
  void TearDown() override {
    for (ZnCritSect* s : made_) Destroy(s);
  }
  ZnCritSect* Section(const std::string& name) {
    made_.push_back(Make(name));
    return made_.back();
  }
  std::string Console() { return capture_.sink().Text(); }

  Sections made_;
  t::SinkSwap capture_{GetConsole()};
};

// Two and three sections; the thread that closes the cycle reports it once, its own order
// first. Every order of the cycle taken again (on new threads, on this one, or inside a longer
// order) is known and adds nothing.
TEST_F(LockOrderTest, CycleIsReportedOnceByTheThreadThatClosesIt) {
  ZnCritSect *a = Section("A"), *b = Section("B");
  const std::string ab = OrderOnThread({a, b});
  EXPECT_EQ(Console(), "");
  const std::string ba = OrderOnThread({b, a});
  const std::string body = kFirstLine + Line(ba, b, a) + Line(ab, a, b) + "\n";
  EXPECT_EQ(Console(), body);
  OrderOnThread({a, b}), OrderOnThread({b, a}), TakeInOrder({b, a});
  EXPECT_EQ(Console(), body);
  EXPECT_EQ(ReportFile(), kOrderFileHead + body);

  ZnCritSect *p = Section("P"), *q = Section("Q"), *r = Section("R");
  const std::string pq = OrderOnThread({p, q}), qr = OrderOnThread({q, r});
  EXPECT_EQ(Console(), body);
  const std::string rp = OrderOnThread({r, p});
  const std::string three = kFirstLine + Line(rp, r, p) + Line(pq, p, q) + Line(qr, q, r) + "\n";
  OrderOnThread({r, p}), OrderOnThread({p, q, r});
  EXPECT_EQ(Console(), body + three);
  EXPECT_EQ(ReportFile(), kOrderFileHead + body + kOrderFileHead + three);
}

// Holding B then A, re-entering B records only B -> A: its reverse reports, B -> A again does not.
TEST_F(LockOrderTest, ReentryAddsNoOrder) {
  ZnCritSect *a = Section("A"), *b = Section("B");
  OnThread([&] { b->Begin(), a->Begin(), b->Begin(), b->Exit(), a->Exit(), b->Exit(); });
  OrderOnThread({b, a});
  EXPECT_EQ(Console(), "");
  OrderOnThread({a, b});
  EXPECT_THAT(Console(), ::testing::StartsWith(kFirstLine));
}

// Many threads take random subsets of the sections, always in one global
// order that differs from the order of first use, so the ranks are reordered
// again and again; no cycle may be made up, and the run stays short.
TEST_F(LockOrderTest, ConsistentOrdersAcrossManyThreadsNeverReport) {
  constexpr int kSections = 24, kThreads = 8, kRounds = 300;
  Sections sections;
  for (int i = 0; i < kSections; ++i) sections.push_back(Section("S" + std::to_string(i)));
  std::shuffle(sections.begin(), sections.end(), std::mt19937(7));
  const auto start = std::chrono::steady_clock::now();
  t::Latch go(kThreads);
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n)
    threads.emplace_back([&, n] {
      std::mt19937 random(static_cast<unsigned>(n));
      go.ArriveAndWait();
      for (int round = 0; round < kRounds; ++round) {
        Sections subset;
        for (ZnCritSect* s : sections)
          if (random() % 3 == 0) subset.push_back(s);
        TakeInOrder(subset);
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, t::kBound);
  EXPECT_EQ(Console(), "");
  EXPECT_EQ(ReportFile(), "");
}

// One thread builds a random acyclic order of pairs (forcing reorders), then
// closes cycles of several lengths: each closing pair reports one cycle that
// is a true cycle of the orders taken, starting with the closing order.
TEST_F(LockOrderTest, RandomOrdersReportOnlyTrueCycles) {
  constexpr int kSections = 40;
  Sections sections;
  for (int i = 0; i < kSections; ++i) sections.push_back(Section("R" + std::to_string(i)));
  // Hidden order: section i comes before section j when i < j; pairs are taken in random
  // sequence, each first-used section getting a fresh rank out of step with that order.
  std::mt19937 random(11);
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < kSections; ++i)
    for (int j = i + 1; j < kSections; ++j)
      if (j == i + 1 || random() % 4 == 0) pairs.emplace_back(i, j);  // with a chain through all
  std::shuffle(pairs.begin(), pairs.end(), random);
  for (const auto& [i, j] : pairs) TakeInOrder({sections[size_t(i)], sections[size_t(j)]});
  ASSERT_EQ(Console(), "");

  for (const auto& [from, to] : {std::pair{39, 0}, std::pair{5, 4}, std::pair{20, 10}}) {
    t::SinkSwap report(GetConsole());
    TakeInOrder({sections[size_t(from)], sections[size_t(to)]});
    TakeInOrder({sections[size_t(from)], sections[size_t(to)]});  // once only
    const std::string text = report.sink().Text();
    ASSERT_THAT(text, ::testing::StartsWith(kFirstLine)) << from << " -> " << to;
    // Lines "Thread <id> took R<a> <addr> then R<b> <addr>", each starting where the last ended.
    static const std::regex line("Thread (0x[0-9a-f]+) took R(\\d+) 0x[0-9a-f]+ then R(\\d+) ");
    std::vector<std::pair<int, int>> cycle;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
      EXPECT_EQ((*it)[1].str(), IdText(SelfId()));
      cycle.emplace_back(std::stoi((*it)[2].str()), std::stoi((*it)[3].str()));
    }
    ASSERT_GE(cycle.size(), 2u);
    EXPECT_EQ(cycle.front(), std::make_pair(from, to));
    for (size_t k = 0; k < cycle.size(); ++k) {
      EXPECT_EQ(cycle[k].second, cycle[(k + 1) % cycle.size()].first) << text;
      EXPECT_TRUE(k == 0 || cycle[k].first < cycle[k].second) << text;  // as the hidden order
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(cycle.size()) + 2);
  }
  EXPECT_EQ(Console(), "");  // the inner captures saw everything
}

// The allocator commonly hands a destroyed B's address to the next section C: a stale node for B
// would make C then A look like the reverse of A then B.
TEST_F(LockOrderTest, DestroyedSectionTakesItsOrdersAlong) {
  ZnCritSect *a = Section("A"), *b = Make("B");
  OrderOnThread({a, b});
  const void* const old_b = b;
  Destroy(b);
  ZnCritSect* c = Section("C");
  OrderOnThread({c, a});
  EXPECT_EQ(Console(), "") << "B at " << old_b << ", C at " << static_cast<void*>(c);
  const std::string ac = OrderOnThread({a, c});  // C's own orders are checked as usual
  EXPECT_THAT(Console(), ::testing::HasSubstr(Line(ac, a, c)));
}

// A thread remembers an order it has met; destroying the second section must make it forget,
// or the same order with a new section at the old address would go unrecorded.
TEST_F(LockOrderTest, OrderMetBeforeIsForgottenWithTheSection) {
  ZnCritSect *a = Section("A"), *b = Make("B");
  TakeInOrder({a, b}), TakeInOrder({a, b});  // the second time, met before: no graph lookup
  Destroy(b);
  ZnCritSect* d = Section("D");  // commonly at B's address
  TakeInOrder({a, d});
  EXPECT_EQ(Console(), "");
  const std::string da = OrderOnThread({d, a});
  EXPECT_EQ(Console(), kFirstLine + Line(da, d, a) + Line(IdText(SelfId()), a, d) + "\n");
}

// Write levels of a reader/writer mutex take part (nested ones make no order with themselves);
// read levels do not.
TEST_F(LockOrderTest, WriteLevelsOfReaderWriterMutexTakePart) {
  ZnCritSect* a = Section("A");
  ZnSetDeadLockDetection(0);  // a plain "RW_Exclusive": the mutex alone stands for the write
  ZnRW_Mutex* m = ZnRW_Mutex::Make(nullptr);
  ASSERT_NE(m, nullptr);
  const std::string writer = OnThread(
      [&] { m->StartRW(1, 0), m->StartRW(1, 0), a->Begin(), a->Exit(), m->EndRW(1), m->EndRW(1); });
  OnThread([&] { a->Begin(), m->StartRW(0, 0), m->EndRW(0), a->Exit(); });
  EXPECT_EQ(Console(), "");
  const std::string other = OnThread([&] { a->Begin(), m->StartRW(1, 0), m->EndRW(1), a->Exit(); });
  EXPECT_EQ(Console(), kFirstLine + Line(other, a, "A", m, "RW_Mutex") +
                           Line(writer, m, "RW_Mutex", a, "A") + "\n");
  delete m;
}

// Off, nothing is recorded: switched on again, A then B was never recorded, so B then A closes
// nothing.
TEST(LockOrderSwitch, OffRecordsNothing) {
  t::RunInChild([] {
    RestartWith("lockOrder", "0");
    std::filesystem::remove("deadlock.txt");
    ZnCritSect *a = Make("A"), *b = Make("B");
    {
      t::SinkSwap capture(GetConsole());
      OrderOnThread({a, b}), OrderOnThread({b, a});
      EXPECT_EQ(capture.sink().Text(), "");
    }
    RestartWith("lockOrder", "1");
    t::SinkSwap capture(GetConsole());
    OrderOnThread({b, a});
    EXPECT_EQ(capture.sink().Text(), "");
    OrderOnThread({a, b});
    EXPECT_THAT(capture.sink().Text(), ::testing::StartsWith(kFirstLine));
    EXPECT_FALSE(ReportFile().empty());
  });
}

// With "stackTraces" and "reportJson" on as well: each order's line is followed by the stack its
// thread had as it took the order (frame lines), and the report is one "potential" JSON line whose
// edges say which thread held what and then took what.
TEST(LockOrderSwitch, StacksUnderEachOrderAndTheJsonLine) {
  t::RunInChild([] {
    t::SetConfig("stackTraces", "1");
    RestartWith("reportJson", "1");
    std::filesystem::remove("deadlock.jsonl");
    ZnCritSect *a = Make("A"), *b = Make("B");
    t::SinkSwap capture(GetConsole());
    const std::string first = OrderOnThread({a, b}), second = OrderOnThread({b, a});
    const std::string text = capture.sink().Text();
    // The closing order, then the earlier one, each with at least one frame line.
    const std::regex shape(std::string(kFirstLine) + "Thread " + second +
                           " took B 0x[0-9a-f]+ then A 0x[0-9a-f]+\n(  #[0-9]+ [^\n]+\n)+" +
                           "Thread " + first +
                           " took A 0x[0-9a-f]+ then B 0x[0-9a-f]+\n(  #[0-9]+ [^\n]+\n)+\n");
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
    const std::string line = FileText("deadlock.jsonl");  // one report, one line
    const nlohmann::json report = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << line;
    const auto edge = [](const std::string& id, const char* relation, ZnCritSect* s) {
      return nlohmann::json{
          {"thread", std::stoul(id, nullptr, 16)}, {"relation", relation}, {"section", Hex(s)}};
    };
    EXPECT_EQ(report["kind"], "potential");
    EXPECT_EQ(report["edges"],
              nlohmann::json({edge(second, "holds", b), edge(second, "then-takes", a),
                              edge(first, "holds", a), edge(first, "then-takes", b)}))
        << line;
    EXPECT_EQ(report["sections"].size(), 2u);
    EXPECT_EQ(report["sections"][0]["kind"], "critical-section");
    ASSERT_EQ(report["stacks"].size(), 2u) << line;
    EXPECT_FALSE(report["stacks"][0]["frames"].empty());
  });
}

}  // namespace
