#include <string>

#include "web/status_render.h"

namespace web {

namespace {

// Each state's colour is one custom property, used by the state cell's dot and the timeline alike; the
// colours are the history window's.
constexpr const char* kStyle =
    R"css(:root{color-scheme:light dark;--bg:#fff;--fg:#1d1d1f;--dim:#666;--line:#ddd;--head:#f4f4f6}
@media (prefers-color-scheme:dark){:root{--bg:#15171a;--fg:#e8e8ea;--dim:#a0a0a8;--line:#33363b;--head:#1f2226}}
*{box-sizing:border-box}
body{margin:0;padding:12px;background:var(--bg);color:var(--fg);font:14px/1.4 system-ui,"Noto Sans CJK SC","WenQuanYi Micro Hei",sans-serif}
header{display:flex;flex-wrap:wrap;align-items:baseline;gap:4px 16px}
h1{font-size:22px;margin:0}
h1.ok{color:#2e7d32}h1.bad{color:#d32f2f}
@media (prefers-color-scheme:dark){h1.ok{color:#66bb6a}h1.bad{color:#ef5350}}
h2{font-size:17px;margin:20px 0 6px}
header p{margin:0;color:var(--dim)}
.scroll{overflow-x:auto}
table{border-collapse:collapse;width:100%}
caption{text-align:left;color:var(--dim);padding:6px 0}
th,td{padding:5px 8px;border-bottom:1px solid var(--line);text-align:left;vertical-align:top;white-space:nowrap}
thead th{background:var(--head);font-weight:600}
tbody th{font-weight:500;white-space:normal;word-break:break-all;min-width:7em}
small{display:block;color:var(--dim);font-size:12px;white-space:normal;word-break:break-all;max-width:28em}
td.st::before{content:"";display:inline-block;width:.75em;height:.75em;border-radius:50%;margin-right:.4em;background:var(--c)}
.bar{display:flex;width:192px;height:14px;border-radius:2px;overflow:hidden;background:var(--line)}
.bar i{display:block;height:100%;background:var(--c)}
.legend{list-style:none;padding:0;margin:8px 0;display:flex;flex-wrap:wrap;gap:4px 14px;color:var(--dim);font-size:12px}
.legend i{display:inline-block;width:10px;height:10px;margin-right:4px;background:var(--c)}
.normal{--c:#43a047}.connection{--c:#757575}.server{--c:#e53935}.disk{--c:#fb8c00}.dblog{--c:#fdd835}
.security{--c:#8e24aa}.unclassified{--c:#d81b60}.broke-off{--c:#b0bec5}.no-data{--c:#e0e0e0}
.paused{--c:#90a4ae}.maintenance{--c:#1e88e5}.unknown{--c:transparent}
@media (prefers-color-scheme:dark){.no-data{--c:#3a3d42}.connection{--c:#9e9e9e}}
@media (max-width:480px){body{padding:6px;font-size:13px}th,td{padding:4px 5px}.bar{width:120px}}
)css";

// Refetches the status after each round and redraws the tables in place, with text nodes only: nothing a
// host reports is ever read as markup.
constexpr const char* kScript = R"js("use strict";
(function () {
  var round = Number(document.body.dataset.round);
  var urls = document.body.dataset.urls === "1";
  function shown(iso) { return iso ? iso.slice(0, 19).replace("T", " ") : "—"; }
  function percent(p) { return p === null ? "—" : p.toFixed(1) + "%"; }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function nameCell(name, url) {
    var th = el("th", "", name);
    if (urls && url) th.appendChild(el("small", "", url));
    return th;
  }
  function duration(s) {
    var d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
    if (d > 0) return d + " 天 " + h + " 小时";
    if (h > 0) return h + " 小时 " + m + " 分";
    if (m > 0) return m + " 分 " + (s % 60) + " 秒";
    return s + " 秒";
  }
  function hostRow(h) {
    var tr = el("tr");
    tr.appendChild(nameCell(h.name, h.url));
    var st = el("td", "st " + h.state, h.state_text);
    if (h.maintenance_until) st.appendChild(document.createTextNode("，至 " + shown(h.maintenance_until).slice(0, 16)));
    if (h.acknowledged) st.appendChild(document.createTextNode("，已知晓"));
    if (h.short_line) st.appendChild(el("small", "", h.short_line));
    tr.appendChild(st);
    tr.appendChild(el("td", "", shown(h.since)));
    tr.appendChild(el("td", "", percent(h.uptime_24h)));
    tr.appendChild(el("td", "", percent(h.uptime_7d)));
    var bar = el("span", "bar");
    h.timeline_24h.forEach(function (t) { bar.appendChild(el("i", t.state + " w" + t.stretches)); });
    var td = el("td");
    td.appendChild(bar);
    tr.appendChild(td);
    return tr;
  }
  function outageRow(o) {
    var tr = el("tr");
    tr.appendChild(nameCell(o.name, o.url));
    tr.appendChild(el("td", "", shown(o.start)));
    tr.appendChild(el("td", "", o.end ? shown(o.end) + (o.ended_by === "monitor stopped" ? "（监控停止）" : "") : "进行中"));
    tr.appendChild(el("td", "", duration(o.duration_s)));
    tr.appendChild(el("td", "st " + o.category, o.category_text));
    tr.appendChild(el("td", "", o.short_line));
    return tr;
  }
  function fill(id, rows) {
    var body = document.querySelector("#" + id + " tbody");
    var fresh = el("tbody");
    rows.forEach(function (r) { fresh.appendChild(r); });
    body.replaceWith(fresh);
  }
  function get(path) {
    return fetch(path, { cache: "no-cache", credentials: "same-origin" }).then(function (r) {
      if (!r.ok) throw new Error(path + " " + r.status);
      return r.json();
    });
  }
  function show(s, outages) {
    var head = document.getElementById("headline");
    head.textContent = s.faulty === 0 ? "全部正常" : s.faulty + " 台服务器异常";
    head.className = s.faulty === 0 ? "ok" : "bad";
    document.getElementById("last-round").textContent = s.last_round ? shown(s.last_round) : "尚无";
    document.querySelector("#hosts caption").textContent = "服务器（" + s.hosts.length + " 台）";
    fill("hosts", s.hosts.map(hostRow));
    fill("outages", outages.outages.slice(0, 500).map(outageRow));
    document.body.dataset.round = String(s.round);
  }
  function tick() {
    get("/api/status").then(function (s) {
      if (s.round === round) return;
      return get("/api/outages?days=7").then(function (o) { round = s.round; show(s, o); });
    }).catch(function () {}).then(function () { setTimeout(tick, 5000); });
  }
  setTimeout(tick, 5000);
})();
)js";

constexpr const char* kIcon =
    R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16"><circle cx="8" cy="8" r="7" fill="#43a047"/></svg>
)svg";

std::string Stretches() {
    std::string rules;
    for (int n = 1; n <= kTimelineStretches; ++n)
        rules += ".w" + std::to_string(n) + "{width:" + std::to_string(n * 100.0 / kTimelineStretches) + "%}";
    return rules + "\n";
}

}  // namespace

const std::string& StyleSheet() {
    static const std::string style = kStyle + Stretches();
    return style;
}

const std::string& PageScript() {
    static const std::string script = kScript;
    return script;
}

const std::string& Icon() {
    static const std::string icon = kIcon;
    return icon;
}

}  // namespace web
