#pragma once

#include <QHostAddress>
#include <QList>

namespace vantor::onair {

// Lets only datagrams from the given source addresses reach a UDP socket, dropped by the system
// itself before they take room in the socket's buffer, where the system can: on Linux a classic
// BPF socket filter (SO_ATTACH_FILTER) on the source address of the IPv4 or IPv6 header. One
// file per system beside this one, chosen in CMake (sourcefilter_linux.cpp; sourcefilter_win.cpp,
// which sets nothing: the receiver drops strangers itself all the same).
// With no addresses, nothing is let through. At most MaxSources addresses.
// False when no filter is set (no such filter on this system, or the system refused it).
inline constexpr int MaxSources = 16;
bool admitOnly(qintptr socket, const QList<QHostAddress> &sources);

} // namespace vantor::onair
