#pragma once

#include <QString>

// Whether another copy of the program `image` ("torvaneapp.exe") runs for
// this account in this session: the task list (Windows' tasklist program,
// our own on Linux) names it twice, this copy being one.
bool anotherCopyRuns(const QString& image);
