// Lock-owning objects: the lazily made section of ZnMTObj and ZnAutoSync.
#include "re5zor4/znmtobj.h"

#include "re5zor4/critsect.h"
#include "ru5red4/znassert.h"

namespace {

const char kSourceName[] = "src\\znmtobj";
const char kNoSection[] = "(this->myCS != 0)";
constexpr int kLongLine = 30;
constexpr int kLightLine = 40;

// The object's section, made with make when there is none yet. The first
// section published wins; a thread that loses the race deletes its own.
ZnCritSect* SectionOf(std::atomic<ZnCritSect*>& slot, ZnCritSect* (*make)(const char*)) {
  ZnCritSect* section = slot.load(std::memory_order_acquire);
  if (section != nullptr) return section;
  ZnCritSect* made = make("?");
  if (made == nullptr) return nullptr;
  ZnCritSect* expected = nullptr;
  if (slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return made;
  }
  delete made;
  return expected;
}

}  // namespace

ZnMTObj::~ZnMTObj() {
  delete myCS.exchange(nullptr, std::memory_order_acq_rel);
}

void ZnMTObj::BeginLongCriticalSection() const {
  ZnCritSect* section = SectionOf(myCS, &ZnCritSect::Make);
  if (section == nullptr) {
    ZARN_assert(kNoSection, kSourceName, kLongLine);
    return;
  }
  section->Begin();
}

void ZnMTObj::BeginCriticalSection() const {
  ZnCritSect* section = SectionOf(myCS, &ZnCritSect::MakeLight);
  if (section == nullptr) {
    ZARN_assert(kNoSection, kSourceName, kLightLine);
    return;
  }
  section->Begin();
}

void ZnMTObj::EndCriticalSection() const {
  ZnCritSect* section = myCS.load(std::memory_order_acquire);
  if (section != nullptr) section->Exit();
}

ZnAutoSync::ZnAutoSync(const ZnMTObj* object) : object(object) {
  if (object != nullptr) object->BeginCriticalSection();
}

ZnAutoSync::~ZnAutoSync() {
  if (object != nullptr) object->EndCriticalSection();
}
