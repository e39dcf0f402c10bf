// The JSON lines of the deadlock report ("reportJson" in the "debug"
// section), read back with a real JSON parser: the writer's escaping and
// time text, lines of concurrent reports that never interleave, and the
// lines of real reports (a cycle, a wait for a holder that ended).
#include "core/report_json.h"

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "deadlock_cycle.h"

namespace {

using namespace cycle;
using nlohmann::json;
namespace report_json = re5zor4::report_json;
RE5ZOR4_TEST_START_MODULE();

// Each case: the bytes given, their escaped text, and the UTF-8 text a parser
// reads back. Bytes that are not well-formed UTF-8 are read as Latin-1.
TEST(ReportJson, EscapingGivesValidJsonForAnyBytes) {
  struct Case {
    std::string in, escaped, parsed;
  };
  const Case cases[] = {
      {"plain name", "plain name", "plain name"},
      {"say \"hi\"", "say \\\"hi\\\"", "say \"hi\""},
      {"C:\\dir\\", "C:\\\\dir\\\\", "C:\\dir\\"},
      {"a\nb\rc\td\be\ff", "a\\nb\\rc\\td\\be\\ff", "a\nb\rc\td\be\ff"},
      {std::string("nul\0x", 5), "nul\\u0000x", std::string("nul\0x", 5)},
      {"\x01\x1f\x7f", "\\u0001\\u001f\\u007f", "\x01\x1f\x7f"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xff\xfe", "\\u00ff\\u00fe", "\xc3\xbf\xc3\xbe"},
      {"\xc0\xaf", "\\u00c0\\u00af", "\xc3\x80\xc2\xaf"},                     // overlong '/'
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080", "\xc3\xad\xc2\xa0\xc2\x80"},  // a surrogate
      {"\xe2\x82", "\\u00e2\\u0082", "\xc3\xa2\xc2\x82"},                     // cut short
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080",
       "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},  // above U+10FFFF
      {"\xc3", "\\u00c3", "\xc3\x83"},       // a lead byte at the end
  };
  for (const Case& c : cases) {
    std::string escaped;
    report_json::AppendEscaped(&escaped, c.in.data(), c.in.size());
    EXPECT_EQ(c.escaped, escaped) << c.in;
    json parsed;
    ASSERT_NO_THROW(parsed = json::parse("\"" + escaped + "\"")) << escaped;
    EXPECT_EQ(c.parsed, parsed.get<std::string>()) << escaped;
  }
}

TEST(ReportJson, TimeTextIsUtcWithMilliseconds) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {-1, "1969-12-31T23:59:59.999Z"},
      {951782400123, "2000-02-29T00:00:00.123Z"},   // a leap day of a century year
      {4107542399999, "2100-02-28T23:59:59.999Z"},  // no leap day in 2100
      {1798559999000, "2026-12-29T15:59:59.000Z"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(text, report_json::UtcTimeText(ms)) << ms;
}

// Every part of a line, with a null name and a stack that could not be had.
TEST(ReportJson, LineCarriesThreadsSectionsEdgesAndStacks) {
  report_json::Report report("potential");
  const int a = 1, b = 2;
  report.AddThread(7, false);
  report.AddThread(4294967295u, true);
  report.AddObject(&a, "first \"one\"", "rw-mutex");
  report.AddObject(&b, nullptr, "critical-section");
  report.AddEdge(7, "holds", &a);
  report.AddEdge(4294967295u, "wants", &a);
  report.AddStack(7, {"f+0x1 (m+0x2)", "tab\there"}, "");
  report.AddStack(4294967295u, {}, "no answer from the thread");
  const std::string line = report.Line();
  EXPECT_EQ(std::string::npos, line.find('\n'));
  json j = json::parse(line);
  EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(),
                               std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z")));
  j.erase("time");
  EXPECT_EQ(
      json::parse(R"({"kind":"potential",)"
                  R"("threads":[{"id":7,"ended":false},{"id":4294967295,"ended":true}],)"
                  R"("sections":[{"name":"first \"one\"","address":")" +
                  Hex(&a) + R"(","kind":"rw-mutex"},{"name":null,"address":")" + Hex(&b) +
                  R"(","kind":"critical-section"}],"edges":[{"thread":7,"relation":"holds",)"
                  R"("section":")" +
                  Hex(&a) + R"("},{"thread":4294967295,"relation":"wants","section":")" + Hex(&a) +
                  R"j("}],"stacks":[{"thread":7,"frames":["f+0x1 (m+0x2)","tab\there"]},)j"
                  R"j({"thread":4294967295,"frames":[],"note":"no answer from the thread"}]})j"),
      j);
  // Without stacks there is no "stacks" member.
  EXPECT_FALSE(json::parse(report_json::Report("cycle").Line()).contains("stacks"));
}

// Threads appending long lines at once: every line of the file is one whole
// report, and none is lost.
TEST(ReportJson, ConcurrentAppendsNeverInterleave) {
  const char kPath[] = "concurrent.jsonl";
  std::remove(kPath);
  constexpr int kThreads = 4, kLines = 50;
  t::Latch start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      report_json::Report report("cycle");
      report.AddThread(static_cast<uint32_t>(i));
      const std::string name(3000, static_cast<char>('a' + i));  // lines of several KiB
      for (int k = 0; k < 8; ++k)
        report.AddObject(name.c_str() + k, name.c_str(), "critical-section");
      start.ArriveAndWait();
      for (int k = 0; k < kLines; ++k) EXPECT_TRUE(report.Append(kPath));
    });
  for (std::thread& thread : threads) thread.join();
  std::istringstream in(FileText(kPath));
  std::string line;
  int per_thread[kThreads] = {};
  while (std::getline(in, line)) {
    json j;
    ASSERT_NO_THROW(j = json::parse(line)) << line.substr(0, 200);
    const int id = j["threads"][0]["id"];
    ASSERT_TRUE(id >= 0 && id < kThreads);
    EXPECT_EQ(std::string(3000, static_cast<char>('a' + id)), j["sections"][7]["name"]);
    ++per_thread[id];
  }
  for (int count : per_thread) EXPECT_EQ(kLines, count);
}

// The only line of deadlock.jsonl, parsed; the child ends when there is not exactly one.
json OnlyLine() {
  const std::string text = FileText("deadlock.jsonl");
  const bool one = !text.empty() && text.find('\n') == text.size() - 1;
  const json j = one ? json::parse(text, nullptr, false) : json();
  Check(one && !j.is_discarded(), "file: " + text, true);
  return j;
}

json Edge(uint32_t thread, const char* relation, const void* section) {
  return {{"thread", thread}, {"relation", relation}, {"section", Hex(section)}};
}

// A real two-thread cycle over sections whose names need escaping; with
// stack traces on, the line also carries each thread's frames, the same as
// the text report shows.
TEST(ReportJson, CycleReportLineNamesEveryThreadSectionAndEdge) {
  for (bool stacks : {false, true})
    InChild([stacks](Child& child) {
      t::SetConfig("reportJson", "1");
      if (stacks) t::SetConfig("stackTraces", "1");
      Sections s;
      std::vector<uint32_t> ids;
      MakeCycle(child, {"odd \"name\" \\ with\ttab\nline \x01 caf\xc3\xa9 \xff", "plain"}, s, ids);
      const json j = OnlyLine();
      const uint32_t closer = ids[1], holder = ids[0];
      const std::string latin = "odd \"name\" \\ with\ttab\nline \x01 caf\xc3\xa9 \xc3\xbf";
      Check(j["kind"] == "cycle" &&
                j["threads"] == json::array({{{"id", closer}, {"ended", false}},
                                             {{"id", holder}, {"ended", false}}}) &&
                j["sections"] ==
                    json::array(
                        {{{"name", latin}, {"address", Hex(s[0])}, {"kind", "critical-section"}},
                         {{"name", "plain"},
                          {"address", Hex(s[1])},
                          {"kind", "critical-section"}}}) &&
                j["edges"] ==
                    json::array({Edge(closer, "wants", s[0]), Edge(holder, "holds", s[0]),
                                 Edge(holder, "wants", s[1]), Edge(closer, "holds", s[1])}) &&
                j.contains("stacks") == stacks,
            "line: " + j.dump());
      if (!stacks) return;
      Check(j["stacks"].size() == 2 && j["stacks"][0]["thread"] == closer &&
                j["stacks"][1]["thread"] == holder,
            "stacks: " + j["stacks"].dump(), true);
      // Each frame of the text report is one element of the line's frames.
      const std::string console = child.console.Text();
      for (const json& stack : j["stacks"]) {
        Check(stack.contains("note") || !stack["frames"].empty(), "empty stack: " + stack.dump());
        for (size_t k = 0; k < stack["frames"].size(); ++k) {
          const std::string line =
              "  #" + std::to_string(k) + " " + stack["frames"][k].get<std::string>() + "\n";
          Check(console.find(line) != std::string::npos, "not in the text: " + line);
        }
      }
    });
}

// A wait for a holder that ended (WaitForEndedHolder) is one "ended-holder" line, with the
// holder marked ended.
TEST(ReportJson, WaitForAnEndedHolderIsItsOwnKind) {
  InChild([](Child&) {
    t::SetConfig("reportJson", "1");
    ZnCritSect* s = Make("Ended.S");
    const auto [waiter, ended] = WaitForEndedHolder(s);
    Check(t::WaitUntil([] { return !FileText("deadlock.jsonl").empty(); }), "no line", true);
    const json j = OnlyLine();
    Check(j["kind"] == "ended-holder" &&
              j["threads"] == json::array({{{"id", waiter}, {"ended", false}},
                                           {{"id", ended}, {"ended", true}}}) &&
              j["edges"] == json::array({Edge(waiter, "wants", s), Edge(ended, "holds", s)}) &&
              j["sections"].size() == 1 && j["sections"][0]["name"] == "Ended.S",
          "line: " + j.dump());
  });
}

}  // namespace
