// The library's one exported entry point; everything else stays hidden.
#include "NetworkTermLink.h"

#include <cstring>
#include <exception>
#include <new>

namespace {

void writeReason(char* reason, std::size_t reasonSize, const char* text)
{
    if (!reason || reasonSize == 0)
        return;
    std::strncpy(reason, text, reasonSize - 1);
    reason[reasonSize - 1] = '\0';
}

} // namespace

extern "C" __attribute__((visibility("default"))) HResult latchwise_create_termlink(
    ITermLinkObject** object, char* reason, std::size_t reasonSize)
{
    if (!object) {
        writeReason(reason, reasonSize, "No place was given for the terminal control");
        return kEInvalidArg;
    }
    *object = nullptr;
    try {
        *object = new termlink::NetworkTermLinkObject;
        return kSOk;
    } catch (const std::bad_alloc&) {
        writeReason(reason, reasonSize, "Not enough memory for the terminal control");
        return kEOutOfMemory;
    } catch (const std::exception& e) {
        writeReason(reason, reasonSize, e.what());
    } catch (...) {
        writeReason(reason, reasonSize, "The terminal control could not be created");
    }
    return kEFail;
}
