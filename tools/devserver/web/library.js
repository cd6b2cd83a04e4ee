// The library: every take the stand-in holds, newest first.
import { clock, dateLabel, element, statusLabel, streamLabel } from './format.js';

const table = document.getElementById('takes');
const message = document.getElementById('message');

function row(take) {
  const tr = element('tr');
  tr.dataset.aid = take.aid;
  tr.dataset.status = take.status;
  const title = element('td');
  const link = element('a', take.title);
  link.href = take.url;
  title.append(link);
  tr.append(title);
  tr.append(element('td', dateLabel(take.createdAt)));
  tr.append(element('td', clock(take.durationSeconds), 'numeric'));
  tr.append(element('td', take.streams.map((s) => streamLabel(s.key)).join(' + ')));
  const status = element('td');
  status.append(element('span', statusLabel(take.status), `badge status-${statusClass(take.status)}`));
  tr.append(status);
  return tr;
}

// Only known statuses name a style.
function statusClass(status) {
  return ['recording', 'saved', 'discarded', 'uploadFailed'].includes(status) ? status : 'unknown';
}

async function load() {
  try {
    const response = await fetch('/screen-recorder/api/takes', { cache: 'no-store' });
    if (!response.ok) throw new Error(`the list answered ${response.status}`);
    const { takes } = await response.json();
    const body = table.tBodies[0];
    body.replaceChildren(...takes.map(row));
    table.hidden = takes.length === 0;
    message.textContent = takes.length === 0 ? 'No recordings yet.' : '';
    message.hidden = takes.length !== 0;
  } catch (error) {
    message.textContent = `The recordings could not be loaded: ${error.message}`;
  }
  document.body.dataset.loaded = 'true';
}

load();
