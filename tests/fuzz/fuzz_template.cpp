// Feeds arbitrary template text, names and repetition counts to the engine.
#include "templateinput.h"

#include "quietlog.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    silenceQtLogOnce();
    runTemplateInput(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)),
                     [](const quillon::Template& document) {
                         // Expansion is capped by the engine.
                         if (document.size() > 5 * 1024 * 1024)
                             __builtin_trap();
                     });
    return 0;
}
