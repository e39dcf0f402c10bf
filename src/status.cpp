// The status dump and the contention figures (contract and format:
// re5zor4/status.h).
//
// The dump is collected into text first, under the library's own locks only:
// the CritSectCritSect (so that no thread record it reads is freed, and the
// wait records stay put), the chain lock (so that no object it reads goes
// away) and the thread registry's lock, each tried for a bounded time. It
// never takes an object's lock: a stuck thread may hold any of those for
// good. The text is written once the locks are let go.
#include "re5zor4/status.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "core/chain.h"
#include "core/contention.h"
#include "core/settings.h"
#include "core/thread_record.h"
#include "port_inline.h"
#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "re5zor4/dldcritsect.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/smp_io.h"
#include "status.h"

namespace re5zor4 {
namespace {

constexpr long kBoundMs = 500;
const char kStatusFile[] = "status.txt";

// Enters section within the bound, without ever blocking on it. A null
// section (module not started) counts as had.
class BoundedHold {
 public:
  explicit BoundedHold(ZnCritSect* section) : section_(section) {
    if (section_ == nullptr) {
      held_ = true;
      return;
    }
    for (long waited = 0;; ++waited) {
      if (section_->TryBegin() != 0) {
        held_ = true;
        return;
      }
      if (waited >= kBoundMs) return;
      port::Sleep(1);
    }
  }
  ~BoundedHold() {
    if (held_ && section_ != nullptr) section_->Exit();
  }
  bool held() const { return held_; }
  BoundedHold(const BoundedHold&) = delete;
  BoundedHold& operator=(const BoundedHold&) = delete;

 private:
  ZnCritSect* const section_;
  bool held_ = false;
};

struct Figures {
  uint64_t count = 0;
  uint64_t totalNs = 0;
  uint64_t longestNs = 0;
  void Add(const std::atomic<uint64_t>* figures) {
    count += figures[contention::kCount].load(std::memory_order_relaxed);
    totalNs += figures[contention::kTotalNs].load(std::memory_order_relaxed);
    longestNs =
        std::max(longestNs, figures[contention::kLongestNs].load(std::memory_order_relaxed));
  }
};

// The figures a section keeps: its own, or its implementation's.
bool SectionFigures(ZnCritSect* section, Figures* out) {
  if (auto* plain = dynamic_cast<Win32CritSect*>(section)) {
    out->Add(plain->contention);
    return true;
  }
  if (auto* detecting = dynamic_cast<ZnDLDCritSect*>(section)) {
    return SectionFigures(detecting->implementation, out);
  }
  return false;
}

bool ObjectFigures(ZnSynchroObj* object, Figures* out) {
  if (auto* section = dynamic_cast<ZnCritSect*>(object)) return SectionFigures(section, out);
  if (auto* mutex = dynamic_cast<ZnGenRW_Mutex*>(object)) {
    out->Add(mutex->drainContention);
    if (mutex->exclusive != nullptr) SectionFigures(mutex->exclusive, out);
    return true;
  }
  return false;
}

void ResetSection(ZnCritSect* section) {
  if (auto* plain = dynamic_cast<Win32CritSect*>(section)) {
    contention::Reset(plain->contention);
  } else if (auto* detecting = dynamic_cast<ZnDLDCritSect*>(section)) {
    ResetSection(detecting->implementation);
  }
}

const char* NameOf(const ZnSynchroObj* object) {
  return object->name != nullptr ? object->name : "(null)";
}

struct Object {
  ZnSynchroObj* object;
  const char* kind;
  Figures figures;
  bool hasFigures;
};

// Appends one formatted piece (cut at 511 bytes).
void Append(std::string* text, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length > 0)
    text->append(line, std::min<size_t>(static_cast<size_t>(length), sizeof line - 1));
}

std::string FiguresText(const Figures& figures) {
  std::string text;
  Append(&text, " contended=%" PRIu64 " wait_us=%" PRIu64 " longest_us=%" PRIu64, figures.count,
         figures.totalNs / 1000, figures.longestNs / 1000);
  return text;
}

// REQUIRES: the chain lock and the CritSectCritSect are held.
std::string ObjectLine(const Object& entry) {
  std::string line;
  ZnSynchroObj* const object = entry.object;
  Append(&line, "object kind=%s name=\"%s\"", entry.kind, NameOf(object));
  if (auto* detecting = dynamic_cast<ZnDLDCritSect*>(object)) {
    // RECORDS_OUTLIVE_READERS (dldcritsect.cpp): the owner's record stays.
    const ZnTLS* owner = detecting->owner.load(std::memory_order_acquire);
    if (owner != nullptr) {
      Append(&line, " owner=0x%x", static_cast<unsigned>(owner->threadId));
    } else {
      line += " owner=none";
    }
    Append(&line, " count=%ld waiters=%ld",
           static_cast<long>(detecting->owningCount.load(std::memory_order_relaxed)),
           static_cast<long>(detecting->waitCount.load(std::memory_order_relaxed)));
  } else if (auto* mutex = dynamic_cast<ZnGenRW_Mutex*>(object)) {
    const unsigned long writer = mutex->ownerId.load(std::memory_order_relaxed);
    if (writer != 0) {
      Append(&line, " writer=0x%lx", writer);
    } else {
      line += " writer=none";
    }
    Append(&line, " level=%ld readers=%d queued_readers=%ld queued_writers=%ld",
           mutex->WriterLevel.load(std::memory_order_relaxed), mutex->RegisteredReaders(),
           mutex->waitingReaders.load(std::memory_order_relaxed),
           mutex->waitingWriters.load(std::memory_order_relaxed));
  }
  if (entry.hasFigures) line += FiguresText(entry.figures);
  return line;
}

const char* KindOf(ZnSynchroObj* object) {
  if (dynamic_cast<ZnDLDCritSect*>(object) != nullptr) return "detecting";
  if (dynamic_cast<ZnCritSect*>(object) != nullptr) return "section";
  if (dynamic_cast<ZnGenRW_Mutex*>(object) != nullptr) return "rwmutex";
  if (dynamic_cast<Condition*>(object) != nullptr) return "condition";
  return "other";
}

struct ThreadVisit {
  const std::vector<Object>* objects;
  std::vector<std::string>* lines;
};

// REQUIRES: the chain lock, the CritSectCritSect and the registry lock held.
void ThreadLine(ThreadRecord* record, void* context) {
  const ThreadVisit* visit = static_cast<const ThreadVisit*>(context);
  const ZnTLS* const tls = &record->tls;
  std::string line;
  Append(&line, "thread id=0x%x state=%s", static_cast<unsigned>(tls->threadId),
         thread_record::HasEnded(tls) ? "ended" : "running");
  std::string holds;
  std::string rw;
  for (const Object& entry : *visit->objects) {
    if (auto* detecting = dynamic_cast<ZnDLDCritSect*>(entry.object)) {
      if (detecting->owner.load(std::memory_order_acquire) != tls) continue;
      Append(&holds, "%s\"%s\"x%ld", holds.empty() ? "" : ",", NameOf(detecting),
             static_cast<long>(detecting->owningCount.load(std::memory_order_relaxed)));
    } else if (auto* mutex = dynamic_cast<ZnGenRW_Mutex*>(entry.object)) {
      bool shown = false;
      for (const std::atomic<const ZnRW_Mutex*>& slot : record->rwShown) {
        shown = shown || slot.load(std::memory_order_relaxed) == mutex;
      }
      if (!shown) continue;
      const bool writes = mutex->ownerId.load(std::memory_order_relaxed) == tls->threadId;
      Append(&rw, "%s\"%s\":%s", rw.empty() ? "" : ",", NameOf(mutex),
             writes ? "writer" : "reader");
    }
  }
  Append(&line, " holds=%s rw=%s", holds.empty() ? "-" : holds.c_str(),
         rw.empty() ? "-" : rw.c_str());
  // WAIT_RECORDED_UNDER_LOCK (dldcritsect.cpp): a recorded section is being
  // waited for, so it is alive.
  if (tls->waitingFor != nullptr) {
    Append(&line, " waits_for=\"%s\"", NameOf(tls->waitingFor));
  } else {
    line += " waits_for=none";
  }
  visit->lines->push_back(line);
}

// The whole dump as text, one "\n"-ended line each. 0 complete, -1 not.
int Collect(std::string* text) {
  ZnCritSect* const bookkeeping = g_critSectCritSect.Get();
  if (bookkeeping == nullptr) {
    *text = "status module=stopped\nstatus end\n";
    return -1;
  }
  // The CritSectCritSect first: a detecting chain lock's TryBegin takes it,
  // and must find it held already rather than wait for it.
  BoundedHold bookkeepingHold(bookkeeping);
  if (!bookkeepingHold.held()) {
    *text = "status busy=bookkeeping\nstatus end\n";
    return -1;
  }
  BoundedHold chainHold(g_chainLock.Get());
  if (!chainHold.held()) {
    *text = "status busy=chain\nstatus end\n";
    return -1;
  }
  std::vector<Object> objects;
  chain::Visit(
      [](ZnSynchroObj* object, void* context) {
        Object entry{object, KindOf(object), Figures(), false};
        entry.hasFigures = ObjectFigures(object, &entry.figures);
        static_cast<std::vector<Object>*>(context)->push_back(entry);
      },
      &objects);
  std::vector<std::string> threadLines;
  ThreadVisit visit{&objects, &threadLines};
  const bool threadsRead = thread_record::VisitAll(&ThreadLine, &visit, kBoundMs);

  text->clear();
  Append(text, "status objects=%zu threads=%zu\n", objects.size(), threadLines.size());
  for (const Object& entry : objects) *text += ObjectLine(entry) + "\n";
  for (const std::string& line : threadLines) *text += line + "\n";
  if (!threadsRead) *text += "status busy=threads\n";
  std::vector<const Object*> ranked;
  for (const Object& entry : objects) {
    if (entry.hasFigures && entry.figures.count != 0) ranked.push_back(&entry);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const Object* a, const Object* b) {
    return a->figures.totalNs > b->figures.totalNs;
  });
  int rank = 0;
  for (const Object* entry : ranked) {
    Append(text, "contention rank=%d kind=%s name=\"%s\"", ++rank, entry->kind,
           NameOf(entry->object));
    *text += FiguresText(entry->figures) + "\n";
  }
  *text += "status end\n";
  return threadsRead ? 0 : -1;
}

void WriteLines(smp_io* out, const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    *out << line.c_str() << endl;
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

// On the platform's dispatcher thread.
void OnStatusSignal() {
  try {
    std::string text;
    Collect(&text);
    if (smp_io* console = GetConsole()) WriteLines(console, text);
    if (std::FILE* file = std::fopen(kStatusFile, "a")) {
      std::fwrite(text.data(), 1, text.size(), file);
      std::fclose(file);
    }
  } catch (...) {
    // Out of memory: no dump this time.
  }
}

}  // namespace

namespace status {

void ArmSignalIfConfigured() {
  if (settings::IsOn(&settings::StatusSignal)) port::InstallStatusSignal(&OnStatusSignal);
}

void DisarmSignal() {
  port::RemoveStatusSignal();
}

}  // namespace status
}  // namespace re5zor4

int ZnWriteStatus(smp_io* out) {
  if (out == nullptr) return -1;
  try {
    std::string text;
    const int result = re5zor4::Collect(&text);
    re5zor4::WriteLines(out, text);
    return result;
  } catch (...) {
    return -1;
  }
}

int ZnGetContentionStats(ZnSynchroObj* object, ZnContentionStats* stats) {
  if (object == nullptr || stats == nullptr) return -1;
  re5zor4::Figures figures;
  if (!re5zor4::ObjectFigures(object, &figures)) return -1;
  stats->count = figures.count;
  stats->totalNs = figures.totalNs;
  stats->longestNs = figures.longestNs;
  return 0;
}

int ZnResetContentionStats() {
  re5zor4::BoundedHold chainHold(re5zor4::g_chainLock.Get());
  if (!chainHold.held()) return -1;
  re5zor4::chain::Visit(
      [](ZnSynchroObj* object, void*) {
        if (auto* section = dynamic_cast<ZnCritSect*>(object)) {
          re5zor4::ResetSection(section);
        } else if (auto* mutex = dynamic_cast<ZnGenRW_Mutex*>(object)) {
          re5zor4::contention::Reset(mutex->drainContention);
          if (mutex->exclusive != nullptr) re5zor4::ResetSection(mutex->exclusive);
        }
      },
      nullptr);
  return 0;
}
