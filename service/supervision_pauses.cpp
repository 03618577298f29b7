#include "supervision_pauses.h"

namespace {

SupervisionPauses s_pauses;

}  // namespace

const SupervisionPauses& CurrentSupervisionPauses() noexcept { return s_pauses; }

void SetSupervisionPauses(const SupervisionPauses& pauses) noexcept { s_pauses = pauses; }
