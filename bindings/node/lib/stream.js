'use strict';
// What serial ports, TCP and RFCOMM connections share: 'data' events with
// Buffers while someone listens (the bytes wait in the library otherwise),
// 'end' when the peer has closed and everything it sent has been read, and
// write() as a Promise that sends every byte in order.
const { native, status, INFINITE, QuorvelError, callAsync, readText, check, copyOf } = require('./native');
const { Endpoint, EVENT } = require('./endpoint');

const CHUNK = 256 * 1024;
const ROUND = 4 * 1024 * 1024;  // read per turn before letting other work run
const SLICE = 50;  // ms: the longest a write holds a pool thread, or waits to try again
const scratch = Buffer.alloc(CHUNK);

function toBuffer(data) {
  if (Buffer.isBuffer(data)) return data;
  if (typeof data === 'string') return Buffer.from(data);
  if (ArrayBuffer.isView(data)) return Buffer.from(data.buffer, data.byteOffset, data.byteLength);
  if (data instanceof ArrayBuffer) return Buffer.from(data);
  throw new TypeError('data must be a Buffer, a typed array or a string');
}

class Stream extends Endpoint {
  constructor(handle) {
    super(handle);
    this._paused = false;
    this._writing = Promise.resolve();
    this.on('newListener', (name) => {
      if (name === 'data') process.nextTick(() => this._read());
    });
  }

  // Sends all of data (Buffer, typed array or string as UTF-8); resolves with
  // the byte count once sent. Writes go out one after another in call order.
  // timeout (ms) bounds each write; none by default.
  write(data, { timeout = INFINITE } = {}) {
    let buffer;
    try {
      buffer = toBuffer(data);
    } catch (err) {
      return Promise.reject(err);  // a Promise's arguments reject it, as everywhere
    }
    const sending = this._writing.then(() => this._send(buffer, timeout));
    this._writing = sending.catch(() => {});
    return sending;
  }

  // A socket takes what fits in its buffers at once: a write sends that on
  // Node's thread and tries again with the rest at the endpoint's next event
  // (an answer of the peer is a sign it reads) or after a pause (1 ms,
  // doubling to SLICE), holding no thread meanwhile. A serial port's write
  // ends only once the driver has the bytes: it goes through libuv's pool in
  // calls bounded by _sliceFor (the time the line needs for the bytes, and
  // some), so a port that cannot send (flow control held) holds no pool
  // thread for longer, and one that can sends each write whole, without a
  // gap in the middle of a frame.
  async _send(buffer, timeout) {
    this._checkOpen('qv_send');
    const deadline = timeout === INFINITE ? Infinity : Date.now() + timeout;
    const sent = [0];
    let done = 0;
    let code = status.WAIT_TIMEOUT;
    let yielded = false;
    for (let pause = 1; ; pause = Math.min(pause * 2, SLICE)) {
      if (this._closed) {  // closed between two tries: as if during one
        code = status.OPERATION_ABORTED;
        break;
      }
      const rest = done ? buffer.subarray(done) : buffer;
      const left = deadline - Date.now();
      if (this._sendsAtOnce) {
        code = native().qv_send(this._handle, rest, rest.length, 0, sent);
      } else {
        code = await callAsync('qv_send', this._handle, rest, rest.length,
          Math.max(0, Math.min(this._sliceFor(rest.length), left)), sent);
        yielded = true;
        // Closed while the call waited for a pool thread: it found the
        // handle closed, which is the close's doing, as during the call.
        if (code && this._closed) code = status.OPERATION_ABORTED;
      }
      done += sent[0];
      if (code !== status.WAIT_TIMEOUT || done === buffer.length || left <= 0) break;
      if (sent[0]) pause = 1;  // it moves: look again soon
      if (this._sendsAtOnce) {
        // A peer that answers may wait for its answers to be read before
        // it reads more: what has come is read (and emitted) first.
        if (pause === 1) this._read();
        await this._nextChance(Math.min(pause, left));
        yielded = true;
      }
    }
    // The event loop takes a turn before the write resolves, as after a write
    // of net's: a program that writes in a loop still gets its events.
    if (!yielded) await new Promise(setImmediate);
    if (code && done < buffer.length) {
      const err = new QuorvelError(code, 'qv_send');
      err.bytesWritten = done;
      throw err;
    }
    return done;
  }

  // The longest one call of a write of bytes may hold a pool thread, in ms.
  _sliceFor() { return SLICE; }

  // Resolves at the endpoint's next event or close, or after ms.
  _nextChance(ms) {
    return new Promise((resolve) => {
      const timer = setTimeout(() => this._chance(), ms);
      this._chance = () => {
        clearTimeout(timer);
        this._chance = null;
        resolve();
      };
    });
  }

  _release() {
    if (this._chance) this._chance();
    super._release();
  }

  pause() { this._paused = true; return this; }

  resume() {
    this._paused = false;
    process.nextTick(() => this._read());
    return this;
  }

  // Bytes received and not yet read, and (serial ports) not yet sent.
  counts() {
    this._checkOpen('qv_queue_counts');
    const toRead = [0];
    const toSend = [0];
    check(native().qv_queue_counts(this._handle, toRead, toSend), 'qv_queue_counts');
    return { toRead: toRead[0], toSend: toSend[0] };
  }

  _event(event, detail) {
    if (this._chance) this._chance();  // a write that waits tries again
    if (event === EVENT.DATA_READY) this._read();
    else if (event === EVENT.CLOSED) this._peerClosed();
  }

  // Emits what has arrived while someone listens; once the peer has closed
  // and everything is read, 'end' and 'close' (a paused stream ends once
  // resumed; one that nobody reads ends at once).
  _read() {
    const api = native();
    let total = 0;
    while (!this._closed && !this._paused && this.listenerCount('data') > 0) {
      if (total >= ROUND) {
        setImmediate(() => this._read());
        return;
      }
      const received = [0];
      const code = api.qv_recv_some(this._handle, scratch, CHUNK, 0, received);
      if (code === status.WAIT_TIMEOUT) break;
      if (code === status.WSAEDISCON) {
        this._ended = true;
        break;
      }
      if (code) return this._readFailed(code);
      total += received[0];
      this.emit('data', copyOf(scratch, received[0]));
      // Less than asked for: that was all, most likely; if more came
      // meanwhile, its event follows (and saves a call that finds nothing).
      if (received[0] < CHUNK) break;
    }
    if (this._ended && !this._closed && !this._paused) {
      this.emit('end');
      this.close();
    }
  }

  _readFailed(code) {
    this._fail(new QuorvelError(code, 'qv_recv_some'));
  }

  _peerClosed() {
    this._ended = true;
    this._read();
  }
}

// The local or the peer's address of a socket endpoint.
function address(endpoint, which) {
  endpoint._checkOpen(which);
  const port = [0];
  const { code, text } = readText((b, c, l) => native()[which](endpoint._handle, b, c, l, port));
  check(code, which);
  return { address: text, port: port[0] };
}

module.exports = { Stream, toBuffer, address };
