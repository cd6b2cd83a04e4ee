// A take's page: the screen stream fills the player, the camera plays round in a
// corner on the screen's clock, clicks are drawn over the screen. A take still
// recording is followed until it is closed.
import { ClickLayer } from './cursor.js';
import { clock, element, statusLabel, streamLabel } from './format.js';
import { FileFeed, MSEFeed, canUseMSE } from './player.js';

const POLL_MS = 1000;
const FRAME_SECONDS = 1 / 30;
const SKIP_SECONDS = 5;

const $ = (id) => document.getElementById(id);
const screen = $('screen');
const camera = $('camera');
const stage = $('stage');
const seek = $('seek');
const playButton = $('play');
const clicks = new ClickLayer($('clicks'));
const id = decodeURIComponent(location.pathname.split('/').pop());
const preferFile = new URLSearchParams(location.search).get('player') === 'file';

// What tests and curious people can read: how the page is doing.
const state = (window.brindlowView = { mode: null, status: null, errors: [], firstFrameAt: null, take: null });

const feeds = new Map();  // stream key → feed
let take = null;
let cursorLoaded = false;

function fail(error) {
  state.errors.push(String(error?.message ?? error));
  const notice = $('notice');
  notice.textContent = `Playback problem: ${error?.message ?? error}`;
  notice.hidden = false;
}

function feedFor(stream, video) {
  let feed = feeds.get(stream.key);
  if (feed) return feed;
  if (!stream.codecs && !preferFile) return null;  // the init segment has not arrived
  const mse = !preferFile && canUseMSE(stream.codecs);
  state.mode ??= mse ? 'mse' : 'file';
  feed = mse ? new MSEFeed(video, fail) : new FileFeed(video);
  feeds.set(stream.key, feed);
  return feed;
}

function showTake(next) {
  const wasRecording = take?.status === 'recording';
  take = next;
  state.take = next;
  state.status = next.status;
  document.title = `${next.title} · Brindlow`;
  $('title').textContent = next.title;
  const badge = $('status');
  badge.textContent = statusLabel(next.status);
  badge.className = `badge status-${['recording', 'saved', 'discarded', 'uploadFailed'].includes(next.status) ? next.status : 'unknown'}`;
  const notice = $('notice');
  if (state.errors.length === 0) {
    notice.hidden = next.status === 'saved';
    notice.textContent = {
      recording: 'Recording in progress: playing what has been uploaded so far.',
      discarded: 'This recording was discarded.',
      uploadFailed: 'This recording did not finish uploading; what arrived plays below.',
    }[next.status] ?? '';
  }
  if (wasRecording && next.status === 'saved' && next.folderId) {
    history.replaceState(null, '', `/screen-recorder/view/${encodeURIComponent(next.folderId)}`);
  }
  const screenStream = next.streams.find((s) => s.key === 'screen') ?? next.streams[0];
  if (screenStream?.width > 0 && screenStream?.height > 0) {
    stage.style.setProperty('--aspect', `${screenStream.width} / ${screenStream.height}`);
    stage.style.setProperty('--aspect-number', String(screenStream.width / screenStream.height));
  }
  const final = next.status !== 'recording';
  for (const stream of next.streams) {
    const video = stream === screenStream ? screen : camera;
    if (video === camera) camera.hidden = false;
    feedFor(stream, video)?.update(stream, final, next.durationSeconds);
  }
  const links = next.streams.filter((s) => s.bytes > 0).map((s) => {
    const a = element('a', `Download ${streamLabel(s.key).toLowerCase()} (MP4)`);
    a.href = `${s.url}?download=1`;
    a.setAttribute('download', '');
    return a;
  });
  $('downloads').replaceChildren(...links);
  if (next.cursorUrl && !cursorLoaded) loadCursor(next.cursorUrl);
}

async function loadCursor(url) {
  cursorLoaded = true;
  try {
    const response = await fetch(url, { cache: 'no-store' });
    if (response.ok) clicks.setLog(await response.json());
    else cursorLoaded = false;
  } catch {
    cursorLoaded = false;
  }
}

async function poll() {
  try {
    const response = await fetch(`/screen-recorder/api/takes/${encodeURIComponent(id)}`, { cache: 'no-store' });
    if (!response.ok) throw new Error(`the recording answered ${response.status}`);
    showTake(await response.json());
  } catch (error) {
    fail(error);
  }
  if (!take || take.status === 'recording' || !take.cursorUrl) setTimeout(poll, POLL_MS);
}

// ---- one clock: the screen's ----

function syncCamera() {
  if (camera.hidden || camera.readyState === 0) return;
  if (Math.abs(camera.currentTime - screen.currentTime) > FRAME_SECONDS) camera.currentTime = screen.currentTime;
}

screen.addEventListener('play', () => {
  playButton.textContent = 'Pause';
  if (!camera.hidden) camera.play().catch(() => {});
});
screen.addEventListener('pause', () => {
  playButton.textContent = 'Play';
  camera.pause();
  syncCamera();
});
screen.addEventListener('seeking', () => {
  for (const feed of feeds.values()) feed.seek(screen.currentTime);
  syncCamera();
});
screen.addEventListener('seeked', syncCamera);
screen.addEventListener('ratechange', () => { camera.playbackRate = screen.playbackRate; });
screen.addEventListener('error', () => fail(new Error(`the screen video failed (${screen.error?.message || screen.error?.code})`)));
camera.addEventListener('error', () => fail(new Error(`the camera video failed (${camera.error?.message || camera.error?.code})`)));
screen.addEventListener('loadeddata', () => {
  state.firstFrameAt ??= performance.now();
  if (take?.status === 'recording' && screen.paused && !state.autoplayTried) {
    state.autoplayTried = true;
    screen.play().catch(() => {});
  }
}, { once: false });

function tick() {
  const duration = Number.isFinite(screen.duration) ? screen.duration : (take?.durationSeconds ?? 0);
  if (document.activeElement !== seek) {
    seek.max = String(duration);
    seek.value = String(screen.currentTime);
  }
  $('time').textContent = `${clock(screen.currentTime)} / ${clock(duration)}`;
  if (!screen.paused) syncCamera();
  clicks.render(screen.currentTime);
  state.complete = feeds.size > 0 && take?.status !== 'recording' &&
    [...feeds.values()].every((feed) => feed.ended !== false);
  requestAnimationFrame(tick);
}

// ---- controls ----

function togglePlay() {
  if (screen.paused) screen.play().catch((error) => fail(error));
  else screen.pause();
}

function skip(seconds) {
  const end = Number.isFinite(screen.duration) ? screen.duration : Infinity;
  screen.currentTime = Math.min(Math.max(screen.currentTime + seconds, 0), end);
}

function toggleFullscreen() {
  if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  else stage.requestFullscreen?.().catch(() => {});
}

playButton.addEventListener('click', togglePlay);
screen.addEventListener('click', togglePlay);
$('fullscreen').addEventListener('click', toggleFullscreen);
seek.addEventListener('input', () => { screen.currentTime = Number(seek.value); });
seek.addEventListener('change', () => seek.blur());
$('show-clicks').addEventListener('change', (event) => clicks.setVisible(event.target.checked));
document.addEventListener('keydown', (event) => {
  if (event.target instanceof HTMLInputElement && event.target.type !== 'range' && event.target.type !== 'checkbox') return;
  if (event.key === ' ' || event.key === 'k') togglePlay();
  else if (event.key === 'ArrowLeft') skip(-SKIP_SECONDS);
  else if (event.key === 'ArrowRight') skip(SKIP_SECONDS);
  else if (event.key === 'f') toggleFullscreen();
  else return;
  event.preventDefault();
});

poll();
requestAnimationFrame(tick);
