// A control library that cannot give a control: without
// BARE_MODULE_SILENT_FAILURE it lacks the factory symbol altogether; with it,
// the factory fails and leaves the reason empty.
#ifdef BARE_MODULE_SILENT_FAILURE
#include "ITermLink.h"

extern "C" __attribute__((visibility("default"))) HResult latchwise_create_termlink(
    ITermLinkObject** object, char*, std::size_t)
{
    *object = nullptr;
    return kEAccessDenied;
}
#else
extern "C" __attribute__((visibility("default"))) int latchwise_create_something_else()
{
    return 0;
}
#endif
