// Feeds arbitrary template text, names and repetition counts to the engine.
// Input: a count byte, then NUL-separated fields: the template, then names.
#include "template.h"

#include "quietlog.h"

#include <QCoreApplication>
#include <QList>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    silenceQtLogOnce();
    if (size < 1)
        return 0;
    const int repetitions = int(data[0] % 8) - 2; // -2 .. 5, negatives included
    const QList<QByteArray> fields = QByteArray(reinterpret_cast<const char*>(data + 1), int(size - 1)).split('\0');
    quillon::Template document(QString::fromUtf8(fields.value(0)), QStringLiteral("fuzz"));
    document.enableWarnings(true);
    for (int i = 1; i < fields.size() && i < 8; ++i) {
        const QString name = QString::fromUtf8(fields.at(i));
        if (i % 2)
            document.loop(name, repetitions);
        else
            document.setVariable(name, name + QStringLiteral("{") + name + QStringLiteral("}"));
        // Expansion is capped by the engine.
        if (document.size() > 5 * 1024 * 1024)
            __builtin_trap();
    }
    return 0;
}
