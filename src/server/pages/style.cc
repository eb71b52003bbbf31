// The one stylesheet. The pages carry no inline styles (the content policy
// allows same-origin stylesheets only), so every colour, including the chart
// bars', is set here.
#include "server/pages/pages.h"
#include "server/routes.h"

extern const char kStylesheet[] = R"CSS(:root {
  --ink: #1d2330; --muted: #5d6675; --line: #d9dee7; --bg: #f6f7fa; --card: #fff;
  --accent: #2457c5; --warn-bg: #fff4d6; --warn: #7a5200; --danger: #b3261e;
  --c0: #2457c5; --c1: #e07b22; --c2: #2e9e5b; --c3: #9b4dca; --c4: #c23b6b; --c5: #1f9bb0; --c6: #7a8a12; --c7: #6b6b6b;
}
* { box-sizing: border-box; }
html { -webkit-text-size-adjust: 100%; }
body { margin: 0; font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: var(--ink); background: var(--bg); }
header.site { background: var(--ink); padding: .6rem 1rem; }
header.site .brand { color: #fff; font-weight: 600; text-decoration: none; letter-spacing: .02em; }
main { max-width: 1100px; margin: 0 auto; padding: 1rem; }
footer.site { max-width: 1100px; margin: 0 auto; padding: 1rem; color: var(--muted); font-size: .8rem; }
h1 { font-size: 1.5rem; margin: .4rem 0 .6rem; overflow-wrap: anywhere; }
h2 { font-size: 1.15rem; margin: 1.6rem 0 .5rem; }
h3 { font-size: 1rem; margin: 1rem 0 .4rem; }
a { color: var(--accent); }
code { font-size: .9em; overflow-wrap: anywhere; }
section { background: var(--card); border: 1px solid var(--line); border-radius: 8px; padding: .2rem 1rem 1rem; margin: 1rem 0; }
.muted, .note { color: var(--muted); }
.note { font-size: .85rem; }
.kicker { margin: 0; color: var(--muted); text-transform: uppercase; font-size: .75rem; letter-spacing: .08em; }
.label { display: inline-block; background: #e7edfb; color: #1b3f8f; border-radius: 999px; padding: 0 .55em; font-size: .85em; overflow-wrap: anywhere; }
.subtitle { margin: 0 0 .6rem; }
.lower { display: inline-block; font-size: .75em; color: var(--warn); background: var(--warn-bg); border-radius: 4px; padding: 0 .3em; }
.warning { background: var(--warn-bg); color: var(--warn); border-left: 4px solid #e0a100; padding: .5rem .75rem; border-radius: 4px; }
.notice { background: #e4f5ea; color: #185c33; border-left: 4px solid #2e9e5b; padding: .5rem .75rem; border-radius: 4px; }
.sr { position: absolute; width: 1px; height: 1px; overflow: hidden; clip: rect(0 0 0 0); }
dl.facts { display: grid; grid-template-columns: minmax(8rem, max-content) 1fr; gap: .25rem 1rem; margin: 0; }
dl.facts dt { color: var(--muted); }
dl.facts dd { margin: 0; overflow-wrap: anywhere; }
.scroll { overflow-x: auto; -webkit-overflow-scrolling: touch; }
table { border-collapse: collapse; width: 100%; background: var(--card); }
th, td { text-align: left; padding: .35rem .5rem; border-bottom: 1px solid var(--line); vertical-align: top; }
thead th { font-size: .8rem; color: var(--muted); font-weight: 600; }
.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
tr.suite th { background: var(--bg); font-size: .85rem; }
td.cpu { min-width: 9rem; max-width: 20rem; overflow-wrap: anywhere; }
th.num { white-space: normal; }
table.results td { font-size: .9rem; }
form { margin: .5rem 0; }
form.filter, form.compare-with, form.claim { display: flex; flex-wrap: wrap; gap: .5rem; align-items: center; }
input[type=text], input[type=search] { font: inherit; padding: .4rem .5rem; border: 1px solid var(--line); border-radius: 6px; min-width: 0; flex: 1 1 14rem; }
button { font: inherit; padding: .4rem .9rem; border-radius: 6px; border: 1px solid var(--accent); background: var(--accent); color: #fff; cursor: pointer; }
button.danger { background: var(--danger); border-color: var(--danger); }
label.check { display: flex; gap: .35rem; align-items: center; }
.clear { font-size: .9rem; }
.count { color: var(--muted); }
nav.pager { display: flex; gap: 1.5rem; margin: 1rem 0; }
ol.compared { padding-left: 1.4rem; }
ol.compared li { margin: .35rem 0; overflow-wrap: anywhere; }
ol.compared .key { display: inline-block; width: .8rem; height: .8rem; border-radius: 2px; margin-right: .4rem; }
small.ratio { color: var(--muted); }
svg.chart { display: block; width: 100%; max-width: 560px; height: auto; margin: .5rem 0 1rem; }
svg.chart text { font-size: 13px; fill: var(--ink); }
svg.chart text.value, svg.chart .unit { font-size: 11px; fill: var(--muted); }
svg.chart text.legend { font-size: 12px; }
.chart-pair { display: grid; grid-template-columns: repeat(auto-fit, minmax(min(100%, 420px), 1fr)); gap: 0 2rem; }
.chart-pair h2, .chart-pair h3 { margin-top: 1rem; }
th small.unit { display: block; font-weight: normal; color: var(--muted); font-size: .75rem; }
td.date { white-space: nowrap; }
td.date small { display: block; color: var(--muted); }
svg.chart line.ref { stroke: var(--muted); stroke-dasharray: 4 3; }
svg.chart line.grid { stroke: var(--line); }
svg.chart text.ref-label { font-size: 10px; fill: var(--muted); }
.c0 { fill: var(--c0); } .c1 { fill: var(--c1); } .c2 { fill: var(--c2); } .c3 { fill: var(--c3); }
.c4 { fill: var(--c4); } .c5 { fill: var(--c5); } .c6 { fill: var(--c6); } .c7 { fill: var(--c7); }
li.c0 .key { background: var(--c0); } li.c1 .key { background: var(--c1); } li.c2 .key { background: var(--c2); } li.c3 .key { background: var(--c3); }
li.c4 .key { background: var(--c4); } li.c5 .key { background: var(--c5); } li.c6 .key { background: var(--c6); } li.c7 .key { background: var(--c7); }
@media (max-width: 640px) {
  main { padding: .6rem; }
  section { padding: .1rem .7rem .8rem; }
  h1 { font-size: 1.25rem; }
  dl.facts { grid-template-columns: 1fr; gap: 0; }
  dl.facts dd { margin-bottom: .35rem; }
  table.results thead { display: none; }
  table.results, table.results tbody, table.results tr, table.results td { display: block; width: 100%; }
  table.results tr { border-bottom: 1px solid var(--line); padding: .4rem 0; }
  table.results td { border: 0; padding: .1rem 0; display: flex; gap: .5rem; max-width: none; }
  table.results td[data-label]::before { content: attr(data-label); color: var(--muted); min-width: 8.5rem; font-size: .8rem; }
  table.results td.num { justify-content: flex-start; text-align: left; }
  table.figures th, table.figures td, table.compare th, table.compare td { padding: .3rem .3rem; }
  table.compare small.ratio { display: block; }
}
)CSS";

void page_style(RouteCall& call) {
    call.res.set_header("Cache-Control", "public, max-age=3600");
    call.res.set_content(kStylesheet, "text/css; charset=utf-8");
}
