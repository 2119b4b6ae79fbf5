#pragma once

#include <QtGlobal>

namespace quillon {

typedef qintptr tSocketDescriptor;

// The little the server does with sockets below Qt: the I/O threads accept
// from one listening socket, each through a descriptor of its own.
namespace socketdescriptor {

// Whether several threads can accept from one listening socket here.
bool canShareListeningSocket();
// A second descriptor of the same socket, or -1.
tSocketDescriptor duplicate(tSocketDescriptor descriptor);
// Accepts one pending connection without waiting: its descriptor, or -1
// when there is none (or it went away), with `exhausted` set when the
// system is out of descriptors or memory and accepting must pause.
tSocketDescriptor acceptOne(tSocketDescriptor listening, bool* exhausted, int* error);
void close(tSocketDescriptor descriptor);

} // namespace socketdescriptor
} // namespace quillon
