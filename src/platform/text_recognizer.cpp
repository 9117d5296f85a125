// platform: the image preparation the text recogniser calls, as installed.
#include "platform/text_recognizer.h"

namespace platform {

namespace {

// Heap-held and never destroyed: a recognition still running on a pool's
// thread at exit may read it.
PagePreparation& installed()
{
    static auto* table = new PagePreparation();
    return *table;
}

} // namespace

void set_page_preparation(PagePreparation preparation)
{
    installed() = std::move(preparation);
}

const PagePreparation& page_preparation()
{
    return installed();
}

} // namespace platform
