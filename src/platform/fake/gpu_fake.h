// platform: the fake GPU for tests, which draws on the CPU with the fragment
// function it is given and fails where a test asks it to.
#pragma once

#include "platform/gpu.h"

namespace platform {

struct GpuFakeFaults {
    bool compile_fails = false;     // create answers the compiler's failure
    bool upload_fails = false;
    int upload_delay_ms = 0;        // a slow upload
    bool draw_fails = false;
    int draw_delay_ms = 0;          // a slow frame
    bool software = true;
};
std::expected<std::shared_ptr<Gpu>, GpuFailure> create_gpu_fake(GpuFragment fragment, const GpuFakeFaults& faults);

} // namespace platform
