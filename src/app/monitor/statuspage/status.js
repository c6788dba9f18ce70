// The status page: reads status.json every PollMs and shows it. Every text from the listener
// goes into the page as text (textContent), never as markup: movie names and the servers'
// replies come from outside.
"use strict";
(function () {
  const PollMs = 500;
  const TimeoutMs = 2000;
  let shown = {};         // the parts last drawn, as JSON text: drawn again only when changed
  let newest = null;      // the newest firing record's number; null before the first answer
  let lastAnswer = null;  // when the listener last answered

  const byId = (id) => document.getElementById(id);
  const clock = (date) => date.toLocaleTimeString([], { hour12: false });

  function add(parent, tag, text, className) {
    const child = document.createElement(tag);
    if (text !== undefined) child.textContent = text;
    if (className) child.className = className;
    parent.appendChild(child);
    return child;
  }

  // Draws a part only when it differs from what is shown.
  function draw(name, value, paint) {
    const text = JSON.stringify(value);
    if (shown[name] === text) return;
    shown[name] = text;
    paint(value);
  }

  function drawLamps(lamps) {
    const list = byId("lamps");
    list.replaceChildren();
    for (const lamp of lamps) {
      const item = add(list, "li");
      add(item, "span", undefined, lamp.on ? "dot on" : "dot").setAttribute("aria-hidden", "true");
      add(item, "span", lamp.name + ": " + lamp.state);
    }
  }

  function drawHealth(health) {
    const p = byId("health");
    p.textContent = health.ok ? "Healthy." : "Not healthy: " + health.reasons.join("; ") + ".";
    p.className = health.ok ? "ok" : "fault";
  }

  function drawSlots(slots) {
    const body = byId("slots");
    body.replaceChildren();
    for (const slot of slots) {
      const row = add(body, "tr");
      add(row, "th", slot.slot).setAttribute("scope", "row");
      add(row, "td", slot.armed ? "armed" : "not armed");
      add(row, "td", slot.sends, "text");
    }
  }

  function replyText(f) {
    switch (f.reply) {
      case "waiting": return "waiting";
      case "answered": return f.replyText + " (" + f.replyMs + " ms)";
      case "none": return f.replyText;
      default: return "nothing sent";
    }
  }

  function onAirText(f) {
    if (f.onAir === "confirmed") return "on air after " + f.onAirMs + " ms";
    if (f.onAir === "not_confirmed") return "not on air: " + f.notOnAir;
    return "";
  }

  function drawFirings(firings) {
    const body = byId("firings");
    body.replaceChildren();
    for (const f of firings) {
      const row = add(body, "tr");
      row.dataset.number = f.number;
      add(row, "th", String(f.number)).setAttribute("scope", "row");
      add(row, "td", f.time);
      add(row, "td", f.slot + (f.test ? " (test fire)" : ""));
      add(row, "td", f.server);
      add(row, "td", f.outcome, f.result === "sent" ? "text" : "text fault");
      add(row, "td", f.command, "text");
      add(row, "td", replyText(f), f.reply === "answered" && f.code < 400 ? "text" : "text fault").dataset.part = "reply";
      const onAir = add(row, "td", onAirText(f), f.onAir === "not_confirmed" ? "text fault" : "text");
      onAir.dataset.part = "onair";
    }
  }

  // Says the firings that came since the last answer in the live region; those of the first
  // answer (and of a new run, which counts from 1 again) are history, not news.
  function announce(firings) {
    const top = firings.length > 0 ? firings[0].number : 0;
    if (newest === null || top < newest) {
      newest = top;
      return;
    }
    const fresh = firings.filter((f) => f.number > newest).reverse();
    newest = top;
    if (fresh.length > 0)
      byId("announce").textContent = fresh.map((f) => f.slot + " fired, " + f.server + ": " + f.outcome).join(". ");
  }

  function show(status) {
    byId("site").textContent = status.site ? "at " + status.site : "";
    document.title = "VANTOR Listener status" + (status.site ? " at " + status.site : "");
    draw("lamps", status.lamps, drawLamps);
    draw("health", status.health, drawHealth);
    draw("slots", status.slots, drawSlots);
    draw("firings", status.firings, drawFirings);
    announce(status.firings);
  }

  async function poll() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), TimeoutMs);
    try {
      const answer = await fetch("status.json", { cache: "no-store", signal: abort.signal });
      if (!answer.ok) throw new Error("HTTP " + answer.status);
      show(await answer.json());
      lastAnswer = new Date();
      byId("updated").textContent = "Updated " + clock(lastAnswer) + ".";
      document.body.classList.remove("stale");
    } catch (error) {
      byId("updated").textContent = lastAnswer
        ? "No answer from the listener since " + clock(lastAnswer) + ": what is shown may be out of date."
        : "No answer from the listener yet.";
      document.body.classList.add("stale");
    } finally {
      clearTimeout(timer);
      setTimeout(poll, PollMs);
    }
  }

  poll();
})();
