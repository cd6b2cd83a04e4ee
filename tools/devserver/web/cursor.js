// Draws the clicks of a cursor log over the screen video: a short ripple where
// the pointer was at each press, and the clicked element's role and label.
// Log times are milliseconds of the take; positions are fractions of the display.

const RIPPLE_SECONDS = 0.6;
const CAPTION_SECONDS = 1.5;
const ELEMENT_SLACK_MS = 250;

// The presses of a log, each with where the pointer was and what it pressed.
export function clicksOf(log) {
  const moves = Array.isArray(log?.moves) ? log.moves : [];
  const elements = Array.isArray(log?.elements) ? log.elements : [];
  const out = [];
  let m = 0;
  for (const click of Array.isArray(log?.clicks) ? log.clicks : []) {
    const [t, , down] = click;
    if (down !== 1 || !Number.isFinite(t)) continue;
    while (m + 1 < moves.length && moves[m + 1][0] <= t) m += 1;
    const at = moves[m];
    if (!at) continue;
    const element = elements.find((e) => Math.abs(e[0] - t) <= ELEMENT_SLACK_MS);
    const caption = element ? [element[5], element[6]].filter((s) => typeof s === 'string' && s).join(' · ') : '';
    out.push({ seconds: t / 1000, x: Number(at[1]), y: Number(at[2]), caption });
  }
  return out;
}

export class ClickLayer {
  constructor(layer) {
    this.layer = layer;
    this.clicks = [];
    this.shown = new Map();  // click index → its ripple element
    this.visible = true;
  }

  setLog(log) {
    this.clicks = clicksOf(log);
    this.layer.replaceChildren();
    this.shown.clear();
  }

  setVisible(visible) {
    this.visible = visible;
    this.layer.hidden = !visible;
  }

  // Shows the clicks around `time` (seconds of the take).
  render(time) {
    if (!this.visible) return;
    this.clicks.forEach((click, i) => {
      const age = time - click.seconds;
      const live = age >= 0 && age < Math.max(RIPPLE_SECONDS, click.caption ? CAPTION_SECONDS : 0);
      let node = this.shown.get(i);
      if (!live) {
        if (node) {
          node.remove();
          this.shown.delete(i);
        }
        return;
      }
      if (!node) {
        node = document.createElement('div');
        node.className = 'click';
        node.style.left = `${click.x * 100}%`;
        node.style.top = `${click.y * 100}%`;
        const ripple = document.createElement('div');
        ripple.className = 'ripple';
        node.append(ripple);
        if (click.caption) {
          const caption = document.createElement('div');
          caption.className = 'caption';
          caption.textContent = click.caption;
          node.append(caption);
        }
        this.layer.append(node);
        this.shown.set(i, node);
      }
      const progress = Math.min(age / RIPPLE_SECONDS, 1);
      const ripple = node.firstChild;
      ripple.style.transform = `scale(${0.4 + 0.9 * progress})`;
      ripple.style.opacity = String(progress >= 1 ? 0 : 1 - 0.8 * progress);
    });
  }
}
