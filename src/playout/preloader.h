#pragma once

#include "casparservers.h"
#include "playcommand.h"
#include "triggerslots.h"

#include <array>
#include <functional>
#include <memory>

namespace vantor::playout {

// Keeps the clip of every armed "Play pre-loaded" slot loaded in the background of its layer,
// on every server, so that on cue the firing sends only a bare PLAY c-l.
//
// LOADBG c-l movie goes to a server when the slot is armed with a movie and the server is
// ready, again whenever the server becomes ready (connect, reconnect), and again after each
// firing of the slot (the PLAY took the background). The load counts as confirmed once the
// server answers it with a 2xx code; a failure reply ("404", file not found) goes to History
// at once, before air. A change of the slot's movie, channel, layer or action starts over:
// replies to an older load are passed over.
class Preloader
{
public:
    Preloader(const TriggerSlots &triggers, CasparServers servers, std::function<void(const QString &)> setStatus);
    ~Preloader();

    // The slot's arming, movie or command changed.
    void slotChanged(int index);
    // `server` became ready: load every slot that pre-loads.
    void serverReady(int server);
    // The slot fired on `server`: its background is used up; load it again.
    void fired(int index, int server);
    // Whether the slot's present clip is confirmed loaded on `server`.
    bool confirmed(int index, int server) const;

private:
    enum class Load { None, Waiting, Confirmed, Failed };
    struct Entry
    {
        Load load = Load::None;
        quint64 generation = 0; // counts the loads sent; a reply of an older one is passed over
    };
    struct Shared; // what reply handlers reach, alive as long as they may be called

    bool wanted(int index) const;
    void load(int index, int server);

    const TriggerSlots &m_triggers;
    CasparServers m_servers;
    PlayCommand m_command;
    std::shared_ptr<Shared> m_shared; // window thread only, like everything here
};

} // namespace vantor::playout
