// The thread manager: see thread_mgr.h.
#include "re5zor4/thread_mgr.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "core/seam.h"
#include "re5zor4/critsect.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/smp_io.h"
#include "ru5red4/znassert.h"

namespace {

const char kAssertFile[] = "src\\thread_mgr";
const unsigned long kInfinite = 0xFFFFFFFFul;
const int kInfoSize = 256;
const int kLineSize = 1024;

// The main thread manager. Read and written without a lock.
std::atomic<ZnThreadMgr*> mainThreadMgr{nullptr};

const char kOnlySectionName[] = "ZnCSTheOnlyOne";

struct NamedSection {
  const char* name;
  ZnCritSect* (*make)(const char* name);
};

// Index order is the callers' numbering of the locks.
const NamedSection kNamedSections[ZnThreadMgr::kNamedSectionCount] = {
    {"ZnCSRootObject", &ZnCritSect::MakeLight},    {"ZnCSLoadCD", &ZnCritSect::MakeLight},
    {"ZnCSCallbackMgr", &ZnCritSect::MakeLight},   {"ZnCSCrypt", &ZnCritSect::MakeLight},
    {"ZnCSBuildQTree", &ZnCritSect::MakeLight},    {"ZnCSIndObj", &ZnCritSect::MakeLight},
    {"ZnCSReg", &ZnCritSect::MakeLight},           {"ZnCSLBucketIndex", &ZnCritSect::MakeLight},
    {"ZnCSBufferColl", &ZnCritSect::MakeLight},    {"ZnCSObjMgr", &ZnCritSect::MakeLight},
    {"ZnCSOnDemand", &ZnCritSect::MakeLight},      {"ZnCSZnMgr", &ZnCritSect::Make},
    {"ZnCSZnObject", &ZnCritSect::MakeLight},      {"ZnCSAdmin", &ZnCritSect::MakeLight},
    {"ZnCSDefaults", &ZnCritSect::MakeLight},      {"ZnCSMainServer", &ZnCritSect::MakeLight},
    {"ZnCSDBManager", &ZnCritSect::MakeLight},     {"ZnCSBucketMap", &ZnCritSect::MakeLight},
    {"ZnCSCompareObject", &ZnCritSect::MakeLight}, {"ZnCSOql", &ZnCritSect::MakeLight},
    {"ZnCSTransIDX", &ZnCritSect::MakeLight},
};

}  // namespace

ZnThreadMgr::ZnThreadMgr(ZnBase* base)
    : rwMutex(nullptr), sections(nullptr), base(base), level(GetAllCS()), sectionCount(0) {
  Init();
}

ZnThreadMgr::ZnThreadMgr(ZnBase* base, unsigned long level)
    : rwMutex(nullptr), sections(nullptr), base(base), level(level), sectionCount(0) {
  Init();
}

ZnThreadMgr::~ZnThreadMgr() {
  ZnThreadMgr* self = this;
  mainThreadMgr.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  delete rwMutex;
  rwMutex = nullptr;
  if (sections != nullptr) {
    for (unsigned long i = sectionCount; i > 0; --i) delete sections[i - 1];
    delete[] sections;
    sections = nullptr;
  }
  sectionCount = 0;
}

void ZnThreadMgr::Init() {
  if (rwMutex == nullptr) rwMutex = ZnRW_Mutex::Make(nullptr);
  if (level != None) {
    const bool one = level == One;
    const unsigned long count = one ? 1 : kNamedSectionCount;
    if (sections == nullptr) {
      sections = re5zor4::seam::NewArray<ZnCritSect*>(static_cast<size_t>(count));
      sectionCount = sections != nullptr ? count : 0;
    }
    for (unsigned long i = 0; i < sectionCount; ++i) {
      if (sections[i] != nullptr) continue;
      sections[i] = one ? ZnCritSect::MakeLight(kOnlySectionName)
                        : kNamedSections[i].make(kNamedSections[i].name);
    }
  }
  ZnThreadMgr* empty = nullptr;
  mainThreadMgr.compare_exchange_strong(empty, this, std::memory_order_acq_rel);
}

void ZnThreadMgr::BeginReader(const char*) {
  if (level > One && rwMutex != nullptr) rwMutex->StartRW(0, kInfinite);
}

void ZnThreadMgr::EndReader(const char*) {
  if (level > One && rwMutex != nullptr) rwMutex->EndRW(0);
}

void ZnThreadMgr::BeginWriter(const char*) {
  if (level > One && rwMutex != nullptr) rwMutex->StartRW(1, kInfinite);
}

void ZnThreadMgr::EndWriter(const char*) {
  if (level > One && rwMutex != nullptr) rwMutex->EndRW(1);
}

void ZnThreadMgr::BeginAdmin(const char* tag) {
  BeginWriter(tag);
}

void ZnThreadMgr::EndAdmin(const char* tag) {
  EndWriter(tag);
}

ZnCritSect* ZnThreadMgr::Section(unsigned long index) {
  if (level == None) return nullptr;
  if (level == One) index = 0;
  if (index >= sectionCount) {
    ZARN_assert("index < sectionCount", kAssertFile, __LINE__);
    return nullptr;
  }
  return sections[index];
}

void ZnThreadMgr::BeginCriticalSection(unsigned long index, const char*) {
  if (ZnCritSect* section = Section(index)) section->Begin();
}

void ZnThreadMgr::EndCriticalSection(unsigned long index, const char*) {
  if (ZnCritSect* section = Section(index)) section->Exit();
}

void ZnThreadMgr::BeginCriticalSection(unsigned long index, unsigned long, const char* tag) {
  if (level != None) BeginCriticalSection(index, tag);
}

void ZnThreadMgr::EndCriticalSection(unsigned long index, unsigned long, const char* tag) {
  if (level != None) EndCriticalSection(index, tag);
}

void ZnThreadMgr::PrintStatus() {
  if (level == None) return;
  smp_io* console = GetConsole();
  if (console == nullptr) return;
  smp_io& out = *console;

  out << "Thread Status Report for Manager (" << static_cast<void*>(this) << ")\n";
  out << "  Reader/Writer Mutex:\n";
  char info[kInfoSize] = "(no mutex)";
  if (rwMutex != nullptr) rwMutex->GetInfo(info, kInfoSize);
  out << "    " << info << endl;

  out << "  Critical Sections:\n";
  for (unsigned long i = 0; i < sectionCount; ++i) {
    const ZnCritSect* section = sections[i];
    char text[kInfoSize] = "(no section)";
    if (section != nullptr) sections[i]->GetInfo(text, kInfoSize);
    const char* name = section != nullptr ? section->name
                       : level == One     ? kOnlySectionName
                                          : kNamedSections[i].name;
    char line[kLineSize];
    snprintf(line, sizeof line, "    %2.2d : %-18.18s : %s\n", static_cast<int>(i), name, text);
    out << line;
  }
}

ZnThreadMgr* MainThreadMgr() {
  return mainThreadMgr.load(std::memory_order_acquire);
}
