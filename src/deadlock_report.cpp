// The deadlock report and its tee sink.
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/report_json.h"
#include "core/settings.h"
#include "core/stack_trace.h"
#include "core/thread_record.h"
#include "dldcritsect.h"
#include "platform/port.h"
#include "re5zor4/dldcritsect.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/zntls.h"

namespace re5zor4 {
namespace {

const char kReportFile[] = "deadlock.txt";
const char kOpenFailure[] = "unable to open deadlock.txt for writing";
const char kBanner[] = "******** ZARN deadlock log ********\n";
const char kTracesLine[] = "\n******** traces ********\n";

// Thread identifiers and addresses go through the stream's pointer output
// ("0x%lx").
void* AsPointer(uint32_t thread_id) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(thread_id));
}
void* AsPointer(const ZnDLDCritSect* section) {
  return const_cast<ZnDLDCritSect*>(section);
}

// The current local time in ctime form: 24 characters and a line end.
void WriteTimeLine(std::FILE* file) {
  char text[64];
  if (port::FormatLocalTime(text, sizeof text) != 0) std::fputs(text, file);
}

// "Thread <R> wants critical section <S> <&S> owned by thread <T>", then one
// line per thread of the chain up to R, then an empty line. A chain that has
// broken off ends in "nobody !!!!" or "nothing !!!", one that ends at a
// holder whose thread is gone in "Thread <T> has ended".
void WriteChain(smp_io& out, ZnTLS* record, const ZnDLDCritSect* section) {
  out << "Thread " << AsPointer(record->threadId) << " wants critical section " << section->name
      << " " << AsPointer(section) << " owned by ";
  WaitChain chain(section);
  for (;;) {
    ZnTLS* const holder = chain.holder();
    if (holder == nullptr) {
      out << "nobody !!!!" << ::endl;
      out.flush();
      return;
    }
    out << "thread " << AsPointer(holder->threadId) << ::endl;
    if (holder == record) break;
    if (thread_record::HasEnded(holder)) {
      out << "Thread " << AsPointer(holder->threadId) << " has ended" << ::endl;
      out.flush();
      return;
    }
    out << "Thread " << AsPointer(holder->threadId) << " is waiting for ";
    const ZnDLDCritSect* const wanted = chain.wanted();
    if (wanted == nullptr) {
      out << "nothing !!!" << ::endl;
      out.flush();
      return;
    }
    out << wanted->name << " " << AsPointer(wanted) << " owned by ";
    if (!chain.Next()) {  // a cycle that R is not on: its first repeated holder
      out << "thread " << AsPointer(wanted->owner.load(std::memory_order_acquire)->threadId)
          << ::endl;
      out.flush();
      return;
    }
  }
  out << ::endl;
  out.flush();
}

// The stack-trace hooks for R and then for each thread of the chain, with an
// empty line after each of the latter.
void WriteTraces(smp_io& out, ZnTLS* record, const ZnDLDCritSect* section) {
  ZnTLSPrepareStackTrace(&out);
  ZnTLSStackTrace(record, &out);
  WaitChain chain(section);
  while (chain.holder() != nullptr && chain.holder() != record) {
    ZnTLSStackTrace(chain.holder(), &out);
    if (!chain.Next()) {
      ZnTLSTerminateStackTrace();
      return;
    }
    out << ::endl;
  }
  out.flush();
  ZnTLSTerminateStackTrace();
}

// "Thread <R> wants " and R's edge, then "Thread <T> is waiting " and T's edge
// for each further thread of the cycle, then an empty line. A section edge
// reads as in WriteChain; a mutex edge "to read RW mutex <M> <&M> written by
// thread <W>", "to write ... written by thread <W>" (waiting for the section
// "RW_Exclusive" that W holds) or "to write ... read by thread <A>, thread
// <B>" (draining: every thread counted as reader).
void WriteRwEdge(smp_io& out, const rw_graph::Edge& edge) {
  using rw_graph::EdgeKind;
  if (edge.kind == EdgeKind::kSection) {
    out << "for " << edge.section->name << " " << AsPointer(edge.section) << " owned by thread "
        << AsPointer(rw_graph::Target(edge)->threadId);
    return;
  }
  const rw_graph::ReaderSet* const set = edge.wait->set;
  out << (edge.kind == EdgeKind::kRead ? "to read" : "to write") << " RW mutex " << set->mutex->name
      << " " << static_cast<void*>(set->mutex);
  if (edge.kind != EdgeKind::kDrain) {
    out << " written by thread " << AsPointer(rw_graph::Target(edge)->threadId);
    return;
  }
  out << " read by ";
  const char* separator = "";
  for (const rw_graph::Reader* reader = set->head; reader != nullptr; reader = reader->next) {
    if (reader->thread == edge.wait->thread) continue;
    out << separator << "thread " << AsPointer(reader->thread->threadId);
    separator = ", ";
  }
}

void WriteRwChain(smp_io& out, ZnTLS* record, const rw_graph::Edge& start) {
  rw_graph::CyclePath path(start, record);
  out << "Thread " << AsPointer(record->threadId) << " wants ";
  if (start.kind == rw_graph::EdgeKind::kSection) {
    out << "critical section " << start.section->name << " " << AsPointer(start.section)
        << " owned by thread " << AsPointer(rw_graph::Target(start)->threadId);
  } else {
    WriteRwEdge(out, start);
  }
  out << ::endl;
  while (path.Next()) {
    out << "Thread " << AsPointer(path.waiter()->threadId) << " is waiting ";
    WriteRwEdge(out, path.edge());
    out << ::endl;
  }
  out << ::endl;
  out.flush();
}

// As WriteTraces, along the cycle.
void WriteRwTraces(smp_io& out, ZnTLS* record, const rw_graph::Edge& start) {
  ZnTLSPrepareStackTrace(&out);
  ZnTLSStackTrace(record, &out);
  rw_graph::CyclePath path(start, record);
  while (path.Next()) {
    ZnTLSStackTrace(path.waiter(), &out);
    out << ::endl;
  }
  out.flush();
  ZnTLSTerminateStackTrace();
}

// True when the wait chain from section comes back to record.
bool ReachesRecord(const ZnTLS* record, const ZnDLDCritSect* section) {
  WaitChain chain(section);
  while (chain.holder() != nullptr && chain.holder() != record) {
    if (!chain.Next()) return false;
  }
  return chain.holder() == record;
}

// With "reportJson" on, the report once more as one line of
// "deadlock.jsonl": the threads and sections of the chain, an edge for each
// wait and each hold, and the stacks the trace section captured.
void AppendJsonReport(ZnTLS* record, const ZnDLDCritSect* section) {
  if (!settings::IsOn(&settings::ReportJson)) return;
  report_json::Report report(ReachesRecord(record, section) ? "cycle" : "ended-holder");
  report.AddThread(record->threadId, false);
  report.AddObject(section, section->name, "critical-section");
  report.AddEdge(record->threadId, "wants", section);
  WaitChain chain(section);
  while (ZnTLS* const holder = chain.holder()) {
    report.AddEdge(holder->threadId, "holds", chain.section());
    if (holder == record) break;
    const bool ended = thread_record::HasEnded(holder);
    report.AddThread(holder->threadId, ended);
    const ZnDLDCritSect* const wanted = chain.wanted();
    if (ended || wanted == nullptr) break;
    report.AddObject(wanted, wanted->name, "critical-section");
    report.AddEdge(holder->threadId, "wants", wanted);
    if (!chain.Next()) break;
  }
  for (const stack_trace::ThreadStack& stack : stack_trace::TakeCollected()) {
    report.AddStack(stack.threadId, stack.frames, stack.note);
  }
  report.Append();
}

// The mutex edges of the machine-readable report: a reader "reads" the mutex,
// its writer "writes" it; a waiter "wants-read" or "wants-write" it.
void AddRwEdge(report_json::Report& report, ZnTLS* waiter, const rw_graph::Edge& edge) {
  using rw_graph::EdgeKind;
  report.AddThread(waiter->threadId);
  if (edge.kind == EdgeKind::kSection) {
    report.AddObject(edge.section, edge.section->name, "critical-section");
    report.AddEdge(waiter->threadId, "wants", edge.section);
    if (ZnTLS* const holder = rw_graph::Target(edge)) {
      report.AddEdge(holder->threadId, "holds", edge.section);
    }
    return;
  }
  const rw_graph::ReaderSet* const set = edge.wait->set;
  report.AddObject(set->mutex, set->mutex->name, "rw-mutex");
  report.AddEdge(waiter->threadId, edge.kind == EdgeKind::kRead ? "wants-read" : "wants-write",
                 set->mutex);
  if (edge.kind != EdgeKind::kDrain) {
    if (ZnTLS* const writer = rw_graph::Target(edge)) {
      report.AddEdge(writer->threadId, "writes", set->mutex);
    }
    return;
  }
  for (const rw_graph::Reader* reader = set->head; reader != nullptr; reader = reader->next) {
    if (reader->thread != waiter) report.AddEdge(reader->thread->threadId, "reads", set->mutex);
  }
}

// As AppendJsonReport, for a cycle through mutex edges (kind "rw-cycle").
void AppendRwJsonReport(ZnTLS* record, const rw_graph::Edge& start) {
  if (!settings::IsOn(&settings::ReportJson)) return;
  report_json::Report report("rw-cycle");
  rw_graph::CyclePath path(start, record);
  do {
    AddRwEdge(report, path.waiter(), path.edge());
  } while (path.Next());
  for (const stack_trace::ThreadStack& stack : stack_trace::TakeCollected()) {
    report.AddStack(stack.threadId, stack.frames, stack.note);
  }
  report.Append();
}

}  // namespace

deadlock_io::deadlock_io(_smp_io* target) : target_(target), file_(std::fopen(kReportFile, "a+")) {
  if (file_ == nullptr) {
    if (target_ != nullptr) {
      target_->writeOutput(kOpenFailure, -1);
      target_->flush();
    }
    return;
  }
  std::fputs(kBanner, file_);
  WriteTimeLine(file_);
  std::fputs(kTracesLine, file_);
}

deadlock_io::~deadlock_io() {
  if (file_ != nullptr) std::fclose(file_);
}

void deadlock_io::writeOutput(const char* text, int len) {
  if (file_ != nullptr && text != nullptr) {
    const size_t count = len == -1 ? std::strlen(text) : (len > 0 ? static_cast<size_t>(len) : 0);
    if (count > 0) std::fwrite(text, 1, count, file_);
  }
  if (target_ != nullptr) target_->writeOutput(text, len);
}

void deadlock_io::flush() {
  if (file_ != nullptr) std::fflush(file_);
  if (target_ != nullptr) target_->flush();
}

namespace {

// Writes a report through console (a stand-in stream when console is null:
// outside the started state there is none), teed into "deadlock.txt".
template <class Body>
void WriteTeed(smp_io* console, Body body) {
  std::optional<smp_io> stand_in;
  if (console == nullptr) console = &stand_in.emplace();
  smp_io& out = *console;
  // Only the holder of the CritSectCritSect replaces the console's sink, so
  // the sink read here is the one the tee replaces.
  deadlock_io tee(out.sink.load(std::memory_order_acquire));
  _smp_io* const previous = out.ExchangeSink(&tee);
  body(out);
  // Returns once no other thread's console operation still uses the tee.
  out.ExchangeSink(previous);
}

}  // namespace

void WriteDeadlockReport(ZnTLS* record, const ZnDLDCritSect* section, smp_io* console) {
  WriteTeed(console, [&](smp_io& out) {
    WriteChain(out, record, section);
    WriteTraces(out, record, section);
  });
  AppendJsonReport(record, section);
}

void WriteRwDeadlockReport(ZnTLS* record, const rw_graph::Edge& start, smp_io* console) {
  WriteTeed(console, [&](smp_io& out) {
    WriteRwChain(out, record, start);
    WriteRwTraces(out, record, start);
  });
  AppendRwJsonReport(record, start);
}

}  // namespace re5zor4
