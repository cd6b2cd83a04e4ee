// Small text helpers shared by the pages. Everything shown goes in through
// textContent, so none of these return markup.

export const statusLabels = {
  recording: 'Recording',
  saved: 'Saved',
  discarded: 'Discarded',
  uploadFailed: 'Upload failed',
};

export function statusLabel(status) {
  return statusLabels[status] ?? 'Unknown';
}

// "1:05", or "1:02:05" from an hour on. Fractions are cut off, never rounded up: a
// take's length reads the same in the list, on its page and where playback ends, as
// the recorder's own clock shows it (26.03 s is 0:26 everywhere).
export function clock(seconds) {
  const whole = Number.isFinite(seconds) && seconds > 0 ? Math.floor(seconds) : 0;
  const h = Math.floor(whole / 3600);
  const m = Math.floor((whole % 3600) / 60);
  const s = String(whole % 60).padStart(2, '0');
  return h > 0 ? `${h}:${String(m).padStart(2, '0')}:${s}` : `${m}:${s}`;
}

export function dateLabel(iso) {
  const date = new Date(iso);
  if (Number.isNaN(date.getTime())) return '';
  return date.toLocaleString(undefined, { dateStyle: 'medium', timeStyle: 'short' });
}

export function streamLabel(key) {
  return key === 'screen' ? 'Screen' : key === 'camera' ? 'Camera' : 'Stream';
}

// Creates an element with text, for building pages without markup strings.
export function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}
