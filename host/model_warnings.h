// What a host model may hold but the exporter has to cope with: vertices on
// missing bones, bones named as their own parent or listed before it.
#pragma once

#include "host/host_model.h"
#include "host/warnings.h"

#include <string>

namespace hm {

// Each entry's text is "<file>: <place>: <problem>", the place as the host
// model file names it; its examples are places.
Warnings FindModelWarnings(const hmModel& model, const std::string& file);

}  // namespace hm
