// How the template fuzzer reads an input: a count byte, then NUL-separated
// fields: the template, then names, alternately expanded as loops and filled
// as variables. The template suite replays the fuzzer's findings with it.
#pragma once

#include "template.h"

#include <QByteArray>
#include <QList>

// Calls check(document) after each step.
template <typename Check>
quillon::Template runTemplateInput(const QByteArray& input, Check check)
{
    quillon::Template document(QString(), QStringLiteral("fuzz"));
    if (input.isEmpty())
        return document;
    const int repetitions = int(quint8(input.at(0)) % 8) - 2; // -2 .. 5, negatives included
    const QList<QByteArray> fields = input.mid(1).split('\0');
    document = quillon::Template(QString::fromUtf8(fields.value(0)), QStringLiteral("fuzz"));
    document.enableWarnings(true);
    for (int i = 1; i < fields.size() && i < 8; ++i) {
        const QString name = QString::fromUtf8(fields.at(i));
        if (i % 2)
            document.loop(name, repetitions);
        else
            document.setVariable(name, name + QStringLiteral("{") + name + QStringLiteral("}"));
        check(document);
    }
    return document;
}
