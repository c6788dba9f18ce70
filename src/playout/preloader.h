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
// ready, again whenever the server becomes ready (connect, reconnect), and again after every
// command this program sends that can use up or clear that layer's background: a PLAY on the
// layer (the slot's own, bare or in full, or another slot's clip), a CLEAR of the layer or of
// its whole channel. Such a command drops the confirmation at once, so that a cue until the
// new load is confirmed goes out in full. The load counts as confirmed only on a 2xx reply
// that names LOADBG; a failure reply ("404", file not found) goes to History at once, before
// air. A change of the slot's movie, channel, layer or action starts over: replies to an older
// load are passed over. The new LOADBG follows the command on its connection (see
// commandlanes.h), so the server runs the two in order.
class Preloader
{
public:
    Preloader(const TriggerSlots &triggers, CasparServers servers, std::function<void(const QString &)> setStatus);
    ~Preloader();

    // The slot's arming, movie or command changed.
    void slotChanged(int index);
    // `server` became ready: load every slot that pre-loads.
    void serverReady(int server);
    // Slot `index`'s command went to `server`: every background it used up or cleared is
    // loaded again.
    void slotSent(int index, int server);
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
    void reload(int index, int server);
    void load(int index, int server);

    const TriggerSlots &m_triggers;
    CasparServers m_servers;
    PlayCommand m_command;
    std::shared_ptr<Shared> m_shared; // window thread only, like everything here
};

} // namespace vantor::playout
