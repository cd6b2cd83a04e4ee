// Feeds one stored stream into a <video>. With Media Source Extensions a saved
// take is read fragment by fragment through its index (a seek loads from the
// fragment it lands in); a take still recording is read range by range as the
// ranges arrive (each range holds whole fragments, range 0 the init segment too).
// Without them, the video plays the stream's file route and reloads as it grows.

const BATCH_BYTES = 1 << 20;

export function mseType(codecs) {
  return `video/mp4; codecs="${codecs}"`;
}

export function canUseMSE(codecs) {
  return Boolean(codecs) && 'MediaSource' in window && MediaSource.isTypeSupported(mseType(codecs));
}

async function fetchBytes(url, first, last) {
  const response = await fetch(url, { headers: { Range: `bytes=${first}-${last}` }, cache: 'no-store' });
  if (response.status !== 206) throw new Error(`${url} answered ${response.status} for bytes ${first}-${last}`);
  return new Uint8Array(await response.arrayBuffer());
}

export class MSEFeed {
  constructor(video, onError) {
    this.video = video;
    this.onError = onError;
    this.mediaSource = new MediaSource();
    this.opened = new Promise((resolve) => this.mediaSource.addEventListener('sourceopen', resolve, { once: true }));
    video.src = URL.createObjectURL(this.mediaSource);
    this.buffer = null;
    this.appendedBytes = 0;  // range reading: stream bytes appended so far
    this.fragments = null;   // fragment reading: the index's entries
    this.loaded = [];        // fragment reading: which entries are appended
    this.nextFragment = 0;
    this.ended = false;
    this.running = false;
    this.again = false;
  }

  // The stream's latest description; `final` once nothing more will arrive.
  update(stream, final, durationSeconds) {
    this.stream = stream;
    this.final = final;
    this.durationSeconds = durationSeconds;
    this.kick();
  }

  // Loads from the fragment holding `time` next, when it is not loaded yet.
  seek(time) {
    if (!this.fragments) return;
    const scale = this.stream.index.timescale || 1;
    let i = 0;
    while (i + 1 < this.fragments.length && this.fragments[i + 1].decodeTime / scale <= time) i += 1;
    if (!this.loaded[i]) {
      this.nextFragment = i;
      this.kick();
    }
  }

  kick() {
    if (this.running) {
      this.again = true;
      return;
    }
    this.running = true;
    this.run()
      .catch((error) => this.onError(error))
      .finally(() => {
        this.running = false;
        if (this.again) {
          this.again = false;
          this.kick();
        }
      });
  }

  async run() {
    await this.opened;
    const stream = this.stream;
    if (!stream || this.ended) return;
    if (!this.buffer) {
      if (!stream.codecs || stream.bytes === 0) return;
      this.buffer = this.mediaSource.addSourceBuffer(mseType(stream.codecs));
    }
    if (this.final && stream.index && this.appendedBytes === 0 && !this.fragments) {
      this.fragments = stream.index.entries;
      this.loaded = this.fragments.map(() => false);
      await this.append(await fetchBytes(stream.url, 0, stream.index.initLength - 1));
      if (this.durationSeconds > 0 && this.mediaSource.readyState === 'open') this.mediaSource.duration = this.durationSeconds;
    }
    const complete = this.fragments ? await this.loadFragments() : await this.loadRanges(stream);
    if (this.final && complete && !this.ended && this.mediaSource.readyState === 'open') {
      this.ended = true;
      this.mediaSource.endOfStream();
    }
  }

  async loadRanges(stream) {
    while (this.appendedBytes < stream.bytes) {
      const first = this.appendedBytes;
      let last = first - 1;
      for (const range of stream.ranges) {
        if (range.offset > last + 1 || range.offset < first) continue;
        if (last + 1 - first >= BATCH_BYTES * 4) break;
        last = range.offset + range.size - 1;
      }
      if (last < first) break;
      await this.append(await fetchBytes(stream.url, first, last));
      this.appendedBytes = last + 1;
    }
    return this.appendedBytes >= stream.bytes;
  }

  async loadFragments() {
    for (;;) {
      let start = this.loaded.indexOf(false, this.nextFragment);
      if (start < 0) start = this.loaded.indexOf(false);
      if (start < 0) return true;
      let end = start;
      let bytes = this.fragments[start].length;
      while (end + 1 < this.fragments.length && !this.loaded[end + 1] && bytes < BATCH_BYTES) {
        end += 1;
        bytes += this.fragments[end].length;
      }
      const first = this.fragments[start].offset;
      const last = this.fragments[end].offset + this.fragments[end].length - 1;
      await this.append(await fetchBytes(this.stream.url, first, last));
      for (let i = start; i <= end; i += 1) this.loaded[i] = true;
      if (this.nextFragment === start) this.nextFragment = end + 1;
    }
  }

  append(bytes) {
    const buffer = this.buffer;
    return new Promise((resolve, reject) => {
      const done = () => {
        buffer.removeEventListener('updateend', done);
        buffer.removeEventListener('error', failed);
        resolve();
      };
      const failed = () => {
        buffer.removeEventListener('updateend', done);
        buffer.removeEventListener('error', failed);
        reject(new Error('the browser refused a piece of the stream'));
      };
      buffer.addEventListener('updateend', done);
      buffer.addEventListener('error', failed);
      buffer.appendBuffer(bytes);
    });
  }
}

export class FileFeed {
  constructor(video) {
    this.video = video;
    this.bytes = 0;
    this.stale = false;
    const reload = () => {
      if (!this.stale) return;
      this.stale = false;
      const at = video.currentTime;
      video.src = `${this.stream.url}?bytes=${this.bytes}`;
      video.currentTime = at;
      video.play().catch(() => {});
    };
    video.addEventListener('waiting', reload);
    video.addEventListener('ended', reload);
  }

  update(stream) {
    this.stream = stream;
    if (stream.bytes === 0 || stream.bytes === this.bytes) return;
    const first = this.bytes === 0;
    this.bytes = stream.bytes;
    if (first) this.video.src = `${stream.url}?bytes=${stream.bytes}`;
    else this.stale = true;
  }

  seek() {}
}
