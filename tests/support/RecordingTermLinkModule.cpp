// The recording control as a loadable library, so the loader can be tested
// against a real dlopen. LATCHWISE_RECORDING_FAIL makes the factory fail.
#include "RecordingTermLink.h"

#include <cstdlib>
#include <cstring>

extern "C" __attribute__((visibility("default"))) HResult latchwise_create_termlink(
    ITermLinkObject** object, char* reason, std::size_t reasonSize)
{
    if (const char* fail = std::getenv("LATCHWISE_RECORDING_FAIL"); fail && *fail) {
        *object = nullptr;
        if (reasonSize > 0) {
            std::strncpy(reason, fail, reasonSize - 1);
            reason[reasonSize - 1] = '\0';
        }
        return kEFail;
    }
    *object = new RecordingTermLink;
    return kSOk;
}
