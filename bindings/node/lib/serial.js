'use strict';
const { native, checked, check } = require('./native');
const { EVENT } = require('./endpoint');
const { Stream } = require('./stream');

const PARITY = { none: 0, odd: 1, even: 2, mark: 3, space: 4 };
const STOP_BITS = { 1: 1, 2: 2, 1.5: 15 };
const FLOW = { none: 0, rtscts: 1, xonxoff: 2 };
const DEVICE_NOT_CONNECTED = 1167;
const LINE_ERRORS = { 0x1: 'CE_RXOVER', 0x2: 'CE_OVERRUN', 0x4: 'CE_RXPARITY', 0x8: 'CE_FRAME', 0x10: 'CE_BREAK' };

const MODEM_CHANGED = 0x1003;
const MODEM_LINES = { cts: 0x10, dsr: 0x20, ring: 0x40, dcd: 0x80 };
const OUTPUT_LINES = { dtr: 'qv_serial_set_dtr', rts: 'qv_serial_set_rts', brk: 'qv_serial_set_break' };
const linesOf = (bits) => Object.fromEntries(Object.entries(MODEM_LINES).map(([name, bit]) => [name, (bits & bit) !== 0]));

const keyOf = (table, value) => Object.keys(table).find((k) => table[k] === value);

function lookup(table, value, what) {
  const key = String(value).toLowerCase();
  if (!(key in table)) throw new TypeError(`${what} must be one of ${Object.keys(table).join(', ')}`);
  return table[key];
}

// A serial port: 'data' (Buffer), 'lineError' ({ errors, names, discarded }),
// 'modem' ({ cts, dsr, ring, dcd, changed }), 'removed' (the device went
// away; 'close' follows), 'error', 'close'.
class SerialPort extends Stream {
  // Opens a port by name ("COM3") or path ("\\.\COM12") and, if any is given,
  // sets the line: { baudRate, dataBits (5-8), parity ('none', 'odd', 'even',
  // 'mark', 'space'), stopBits (1, 1.5, 2), flowControl ('none', 'rtscts',
  // 'xonxoff'), threshold (bytes that make a 'data' event, 1 by default) }.
  static async open(port, options = {}) {
    if (typeof port !== 'string' || !port) throw new TypeError('port must be a name such as "COM3"');
    const made = [0];
    await checked('qv_serial_open', port, made);
    const serial = new SerialPort(made[0], port);
    try {
      if (options.baudRate !== undefined) await serial.setLine(options);
      if (options.threshold !== undefined) serial.setThreshold(options.threshold);
    } catch (err) {
      serial.close();
      throw err;
    }
    return serial;
  }

  constructor(handle, port) {
    super(handle);
    this.port = port;
    // The port is asked for modem events while anyone listens for them; a
    // driver that cannot give them makes on('modem') throw its error.
    this.on('newListener', (name) => {
      if (name === 'modem' && this.listenerCount('modem') === 0) this._watchModem(true);
    });
    this.on('removeListener', (name) => {
      if (name === 'modem' && this.listenerCount('modem') === 0 && !this._closed) this._watchModem(false);
    });
  }

  // Twice the time the line needs for bytes at the port's rate (12 bits a
  // character at most), and 50 ms.
  _sliceFor(bytes) {
    if (!this._baud) {
      try {
        this._baud = this.getLine().baudRate || 9600;
      } catch (err) {
        return Math.ceil((bytes * 12 * 2000) / 9600) + 50;  // the call that follows tells what failed
      }
    }
    return Math.ceil((bytes * 12 * 2000) / this._baud) + 50;
  }

  _watchModem(on) {
    this._checkOpen('qv_serial_watch_modem');
    check(native().qv_serial_watch_modem(this._handle, on ? 1 : 0), 'qv_serial_watch_modem');
  }

  // The output lines up (true) or down: { dtr, rts, brk }; lines not given stay.
  async set(lines = {}) {
    this._checkOpen('qv_serial_set_dtr');
    for (const [name, value] of Object.entries(lines)) {
      if (!(name in OUTPUT_LINES)) throw new TypeError(`set takes dtr, rts and brk, not ${name}`);
      if (typeof value !== 'boolean') throw new TypeError(`${name} must be true or false`);
    }
    for (const [name, fn] of Object.entries(OUTPUT_LINES)) {
      if (lines[name] !== undefined) await checked(fn, this._handle, lines[name] ? 1 : 0);
    }
  }

  // A break of ms milliseconds; the line is free again when it resolves.
  async sendBreak(ms) {
    this._checkOpen('qv_serial_send_break');
    if (!Number.isInteger(ms) || ms < 0 || ms >= 0xFFFFFFFF) throw new TypeError('ms must be a whole number of milliseconds');
    await checked('qv_serial_send_break', this._handle, ms);
  }

  // The input lines now: { cts, dsr, ring, dcd }.
  getModemStatus() {
    this._checkOpen('qv_serial_modem_status');
    const lines = [0];
    check(native().qv_serial_modem_status(this._handle, lines), 'qv_serial_modem_status');
    return linesOf(lines[0]);
  }

  // Takes the settings not given from the port's current ones.
  async setLine(options) {
    this._checkOpen('qv_serial_set_line');
    const now = this.getLine();
    const o = { ...now, ...options };
    if (!Number.isInteger(o.baudRate) || o.baudRate <= 0) throw new TypeError('baudRate must be a positive integer');
    if (![5, 6, 7, 8].includes(o.dataBits)) throw new TypeError('dataBits must be 5, 6, 7 or 8');
    this._baud = 0;  // read again for the next write
    await checked('qv_serial_set_line', this._handle, o.baudRate, o.dataBits,
      lookup(PARITY, o.parity, 'parity'), lookup(STOP_BITS, o.stopBits, 'stopBits'),
      lookup(FLOW, o.flowControl, 'flowControl'));
  }

  // The settings the driver holds.
  getLine() {
    this._checkOpen('qv_serial_get_line');
    const v = [[0], [0], [0], [0], [0]];
    check(native().qv_serial_get_line(this._handle, ...v), 'qv_serial_get_line');
    return {
      baudRate: v[0][0], dataBits: v[1][0], parity: keyOf(PARITY, v[2][0]),
      stopBits: Number(keyOf(STOP_BITS, v[3][0])), flowControl: keyOf(FLOW, v[4][0]),
    };
  }

  setThreshold(bytes) {
    this._checkOpen('qv_serial_set_threshold');
    check(native().qv_serial_set_threshold(this._handle, bytes), 'qv_serial_set_threshold');
  }

  setQueueSizes(receive, send) {
    this._checkOpen('qv_serial_set_queue_sizes');
    check(native().qv_serial_set_queue_sizes(this._handle, receive, send), 'qv_serial_set_queue_sizes');
  }

  // Discards what waits: { receive: true, send: true } (both by default).
  purge({ receive = true, send = true } = {}) {
    this._checkOpen('qv_serial_purge');
    check(native().qv_serial_purge(this._handle, (receive ? 1 : 0) | (send ? 2 : 0)), 'qv_serial_purge');
  }

  // A device that went away fails reads before its removal event comes.
  _readFailed(code) {
    if (code !== DEVICE_NOT_CONNECTED) super._readFailed(code);
  }

  _event(event, detail) {
    if (event === EVENT.LINE_ERROR) {
      const errors = [0];
      const discarded = [0];
      native().qv_serial_line_error(this._handle, errors, discarded);
      const flags = detail || errors[0];
      const names = Object.keys(LINE_ERRORS).filter((bit) => flags & bit).map((bit) => LINE_ERRORS[bit]);
      this.emit('lineError', { errors: flags, names, discarded: discarded[0] });
    } else if (event === MODEM_CHANGED) {
      const changed = Object.keys(MODEM_LINES).filter((name) => (detail >> 8) & MODEM_LINES[name]);
      this.emit('modem', { ...linesOf(detail), changed });
    } else if (event === EVENT.DEVICE_REMOVED) {
      this.emit('removed');
      this.close();
    } else {
      super._event(event, detail);
    }
  }
}

module.exports = { SerialPort };
