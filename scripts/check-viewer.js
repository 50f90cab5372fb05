#!/usr/bin/env node
'use strict';
// Opens viewer pages in headless Chromium and checks that they drew every
// plot without errors, all plot areas at one place and width; that a yaw
// turning through ±180° stays a line, and that crowded event labels are
// thinned, kept when zooming in, and never overlap; saves a screenshot.
// Skipped when Chromium is absent.
//   node scripts/check-viewer.js [screenshot.png]
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
if (!fs.existsSync(chromium)) {
  console.log(`check-viewer: skipped, no Chromium at ${chromium} (apt-get install chromium, or set CHROMIUM)`);
  process.exit(0);
}

const root = path.join(__dirname, '..');
const { generateRecording } = require(path.join(root, 'lib', 'native', 'generator'));
const { writeViewPage, viewData, decodeViewData } = require(path.join(root, 'lib', 'viewer', 'page'));

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-viewer-'));
const screenshot = path.resolve(process.argv[2] ?? path.join(root, 'build', 'viewer-check.png'));
let failures = 0;
const check = (ok, what) => {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok) failures += 1;
};

try {
  const recording = generateRecording(path.join(dir, 'walk.bin'), {
    seconds: 600, accel: 1000, gyro: 1000, baro: 25, events: 1, still: 30, rate: 20, noise: 40, spike: 300,
  });
  const page = path.join(dir, 'walk.html');
  writeViewPage(recording, page);

  const browser = (url, ...args) => spawnSync(chromium, [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--no-first-run', `--user-data-dir=${path.join(dir, 'profile')}`, '--enable-logging=stderr', '--v=0',
    '--window-size=1280,1400', '--virtual-time-budget=5000', ...args, url,
  ], { encoding: 'utf8', timeout: 60000, maxBuffer: 1 << 30 });
  // What the page says it drew.
  const open = (url) => {
    const dump = browser(url, '--dump-dom');
    check(dump.status === 0, `chromium ran (exit ${dump.status}${dump.error ? `, ${dump.error.message}` : ''})`);
    const consoleErrors = (dump.stderr ?? '').split('\n').filter((line) => /CONSOLE.*(error|Uncaught)/i.test(line));
    check(consoleErrors.length === 0, `no console errors${consoleErrors.length ? `: ${consoleErrors.join(' | ')}` : ''}`);
    const status = /<pre id="status"[^>]*>(.*?)<\/pre>/s.exec(dump.stdout ?? '');
    check(Boolean(status) && /data-ready="true"/.test(status[0]), 'the page finished drawing');
    const report = status ? JSON.parse(status[1].replace(/&quot;/g, '"').replace(/&amp;/g, '&')) : { problems: [], plots: [] };
    check(report.problems.length === 0, `no page errors${report.problems.length ? `: ${report.problems.join(' | ')}` : ''}`);
    return report;
  };

  const report = open(`file://${page}`);
  const drawn = report.plots.map((plot) => plot.id);
  check(['accel', 'gyro', 'baro', 'orientation', 'activity'].every((id) => drawn.includes(id)), `plots in the page: ${drawn.join(', ')}`);
  for (const plot of report.plots) check(plot.columns > 0 && plot.inked > 1000, `${plot.id}: ${plot.columns} columns, ${plot.inked} pixels drawn`);
  // Time, then each channel once: X, Y, Z; pressure, temperature; roll, pitch, yaw.
  for (const plot of report.plots) {
    const names = plot.legend ?? [];
    check(new Set(names).size === names.length && names.length === ({ baro: 3, activity: 2 }[plot.id] ?? 4), `${plot.id} legend: ${names.join(', ')}`);
  }
  const areas = new Set(report.plots.map((plot) => `${plot.left}+${plot.width}`));
  check(areas.size === 1, `one time axis: every plot area at ${[...areas].join(', ')}`);

  // Turning steadily about z, yaw wraps every 4 s: each column a few
  // degrees, not a band across the circle. Five events a second crowd the
  // labels: none may overlap, and zooming in keeps those shown and adds more.
  const turning = generateRecording(path.join(dir, 'turning.bin'), { seconds: 240, rate: 90, events: 5 });
  const turningPage = path.join(dir, 'turning.html');
  writeViewPage(turning, turningPage);
  const whole = open(`file://${turningPage}`);
  const orientation = whole.plots.find((plot) => plot.id === 'orientation');
  check(orientation && orientation.widest < 45, `a wrapping yaw stays a line: widest column ${orientation?.widest.toFixed(1)} deg`);
  const labelled = (report) => report.plots[0]?.labels ?? [];
  const apart = (labels) => [...labels].sort((a, b) => a[1] - b[1]).every((l, k, all) => k === 0 || l[1] > all[k - 1][2]);
  const wide = labelled(whole);
  check(wide.length > 10 && wide.length < 1200 && apart(wide), `${wide.length} of 1200 event labels at full view, none overlapping`);
  const zoomed = labelled(open(`file://${turningPage}#t=100,130`));
  const kept = new Set(zoomed.map(([event]) => event));
  const { events } = decodeViewData(viewData(turning)).header;
  // Labels near the right edge may lack room there.
  const before = wide.filter(([event]) => events[event][0] >= 100 && events[event][0] <= 128);
  check(apart(zoomed) && zoomed.length > before.length && before.every(([event]) => kept.has(event)),
    `zoomed in to 30 s: ${zoomed.length} labels, none overlapping, the ${before.length} shown before among them`);

  fs.mkdirSync(path.dirname(screenshot), { recursive: true });
  const shot = browser(`file://${turningPage}`, `--screenshot=${screenshot}`);
  check(shot.status === 0 && fs.existsSync(screenshot), `screenshot saved to ${screenshot}`);
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
console.log(failures ? `check-viewer: ${failures} check(s) failed` : 'check-viewer: the viewer draws every plot');
process.exit(failures ? 1 : 0);
