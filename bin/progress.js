'use strict';
/**
 * A one-line bar on a terminal's standard error for work that lasts: drawn
 * once it has run about a second (io.progressDelay ms), redrawn as it goes,
 * and wiped at the end; nothing when standard error is not a terminal or
 * with --quiet. update(fraction, label, count): fraction from 0 to 1, or
 * null when only the stage is known; a long label loses its start, never
 * the count before it ("3/10"). firstLabel and firstCount: what the bar says
 * until the first update, so that it appears on time even when the work's
 * first pass reports nothing.
 */
function progressBar(io, enabled, firstLabel = '', firstCount = '') {
  if (!enabled || !io.isTTY) return { update() {}, done() {} };
  const start = Date.now();
  const delay = io.progressDelay ?? 1000;
  let state = [0, firstLabel, firstCount];
  let drawn = '';
  const draw = () => {
    if (Date.now() - start < delay) return;
    const [fraction, label, count] = state;
    const width = 30;
    const filled = fraction === null ? 0 : Math.round(Math.min(1, fraction) * width);
    const name = label.length > 40 ? `...${label.slice(-37)}` : label;
    const line = `\r[${'#'.repeat(filled)}${'.'.repeat(width - filled)}] ${count ? `${count} ` : ''}${name}\x1b[K`;
    if (line !== drawn) io.stderr(line);
    drawn = line;
  };
  // A conversion may report nothing for a while: the bar still appears on time.
  const timer = setInterval(draw, 200);
  timer.unref();
  return {
    update(fraction, label = '', count = '') {
      state = [fraction, label, count];
      draw();
    },
    done() {
      clearInterval(timer);
      if (drawn) io.stderr('\r\x1b[K');
    },
  };
}

module.exports = { progressBar };
