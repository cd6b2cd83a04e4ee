#pragma once

namespace brindlow {

// Gives the calling thread an alternate signal stack of its own, released when the
// thread ends, so a fatal signal from a stack overflow on that thread can still be
// reported. Does nothing when the thread already has one. Call first thing in every
// thread the recorder starts.
void ensureSignalStack();

}  // namespace brindlow
