// One machine with kx4grd loaded, shared by every benchmark of the program (a
// second Boot would replace the machine under the other benchmarks' feet).
#pragma once

#include "driver/core/entry.h"
#include "driver/core/process_ids.h"
#include "winsim/winsim.h"

namespace kxbench {

struct LoadedDriver {
    LoadedDriver();
    winsim::PortConnection* connection = nullptr;
};

LoadedDriver& Driver();

}  // namespace kxbench
