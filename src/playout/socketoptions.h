#pragma once

namespace vantor::playout {

// What the playout connection asks of the operating system's TCP socket, beyond Qt's options.
// One file per system beside this one (socketoptions_linux.cpp, ...), chosen in CMake.

// The system's own backstop behind the answer deadline: data unacknowledged for userTimeoutMs,
// or keepIdleSeconds of silence and keepCount unanswered probes keepIntervalSeconds apart, end
// the connection in the kernel.
struct KeepAlive
{
    int keepIdleSeconds = 2;
    int keepIntervalSeconds = 1;
    int keepCount = 2;
    unsigned userTimeoutMs = 3000;
};

// Applies the keep-alive timers to a connected socket; a descriptor below 0 is left alone.
void applyKeepAlive(long long descriptor, const KeepAlive &keepAlive);

// Makes the next close of the socket a reset: the kernel drops every byte still queued for the
// peer instead of delivering it later.
void resetOnClose(long long descriptor);

// Ends our half of the connection normally (the peer reads the end of the stream after what
// was written) and drops what the peer sent that was not read yet, at most maxBytes, so that
// closing the socket afterwards does not turn into a reset.
void endGracefully(long long descriptor, long long maxBytes = 1 << 20);

} // namespace vantor::playout
