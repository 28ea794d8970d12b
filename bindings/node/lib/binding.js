'use strict';
// A binding for node-serialport (the BindingInterface of
// @serialport/bindings-interface 1.2): list(), open() and the port object
// that SerialPortStream drives, plus watch() for ports that come and go.
const { EventEmitter } = require('events');
const { native, callAsync, status, QuorvelError } = require('./native');
const { EVENT } = require('./endpoint');
const { SerialPort } = require('./serial');
const { PortWatcher, checkWatchOptions } = require('./watch');
const { listSerialPorts, listDeviceInterfaces } = require('./discovery');

const COM_PORT_INTERFACE = '{86E0D1E0-8089-11D0-9CE4-08003E301F73}';
const ACCESS_DENIED = 5;
const DEVICE_NOT_CONNECTED = 1167;
const PARITIES = ['none', 'even', 'odd', 'mark', 'space'];
const DEFAULTS = {
  dataBits: 8, lock: true, stopBits: 1, parity: 'none', rtscts: false,
  xon: false, xoff: false, xany: false, hupcl: true,
};

// An error of a port closed under a call (canceled) or of a device that went
// away (disconnected), as SerialPortStream tells them apart.
function portError(message, flags, cause) {
  const err = new Error(message);
  Object.assign(err, flags);
  if (cause) {
    err.cause = cause;
    if (cause.errno !== undefined) Object.assign(err, { errno: cause.errno, code: cause.code });
  }
  return err;
}

const hex4 = (id) => (id === null ? undefined : id.toString(16).toUpperCase().padStart(4, '0'));
const known = (text) => text || undefined;
// "COM3", "com3" and "\\.\COM3" name one port.
const portKey = (path) => path.replace(/^\\\\[.?]\\/, '').toUpperCase();

function portInfo(p, locations) {
  return {
    path: p.name || p.path,
    manufacturer: undefined,
    serialNumber: known(p.serialNumber),
    pnpId: known(p.instanceId),
    locationId: known(locations.get(p.instanceId.toUpperCase())),
    productId: hex4(p.productId),
    vendorId: hex4(p.vendorId),
    friendlyName: known(p.friendlyName),
  };
}

// The location text of each COM-port device by instance id (upper case),
// kept so that a port that left still has its own.
const locations = new Map();
async function readLocations() {
  for (const d of await listDeviceInterfaces(COM_PORT_INTERFACE)) {
    if (d.instanceId && d.location) locations.set(d.instanceId.toUpperCase(), d.location);
  }
}

const held = new Set();  // the ports this process holds open, by portKey

// The port's own endpoint: it tells its binding of data and removal instead
// of emitting them.
class BoundSerial extends SerialPort {
  _event(event, detail) {
    if (event === EVENT.DATA_READY) this._binding._pull();
    else if (event === EVENT.DEVICE_REMOVED) this._binding._gone(null);
    else super._event(event, detail);
  }
}

function checkBoolean(options, name) {
  if (options[name] !== undefined && typeof options[name] !== 'boolean') {
    throw new TypeError(`"${name}" must be true or false`);
  }
}

function checkOpenOptions(options) {
  if (!options || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError('"options" is not an object');
  }
  if (typeof options.path !== 'string' || !options.path) throw new TypeError('"path" is not a valid port');
  if (!Number.isInteger(options.baudRate) || options.baudRate <= 0) {
    throw new TypeError('"baudRate" is not a valid baudRate');
  }
  const o = { ...DEFAULTS, ...options };
  if (![5, 6, 7, 8].includes(o.dataBits)) throw new TypeError('"dataBits" must be 5, 6, 7 or 8');
  if (![1, 1.5, 2].includes(o.stopBits)) throw new TypeError('"stopBits" must be 1, 1.5 or 2');
  if (!PARITIES.includes(o.parity)) throw new TypeError(`"parity" must be one of ${PARITIES.join(', ')}`);
  for (const name of ['lock', 'rtscts', 'xon', 'xoff', 'xany', 'hupcl']) checkBoolean(o, name);
  if (!o.lock) throw new TypeError('"lock": false is not supported on Windows: a serial port opens for one process');
  if (o.rtscts && (o.xon || o.xoff)) {
    throw new TypeError('"rtscts" cannot be combined with "xon" or "xoff": the port takes one kind of flow control');
  }
  return o;
}

// The port object of an open port (BindingPortInterface).
class QuorvelPortBinding {
  constructor(serial, openOptions, key) {
    this.openOptions = openOptions;
    this._serial = serial;
    this._key = key;
    this._open = true;
    this._removed = null;   // the error that told the device went away
    this._reads = [];       // reads waiting for data, in order
    this._writing = null;   // the write under way
    serial._binding = this;
  }

  get isOpen() { return this._open; }

  _checkOpen() {
    if (!this._open) throw new Error('Port is not open');
    if (this._removed) throw this._removed;
  }

  async close() {
    if (!this._open) throw new Error('Port is not open');
    this._open = false;
    held.delete(this._key);
    const reads = this._reads.splice(0);
    for (const r of reads) r.reject(portError('Port is closed', { canceled: true }));
    this._serial.close();
  }

  async read(buffer, offset, length) {
    if (!Buffer.isBuffer(buffer)) throw new TypeError('"buffer" is not a Buffer');
    if (!Number.isInteger(offset) || offset < 0) throw new TypeError('"offset" is not an integer');
    if (!Number.isInteger(length) || length < 0) throw new TypeError('"length" is not an integer');
    if (buffer.length < offset + length) throw new RangeError('buffer is too small');
    this._checkOpen();
    if (length === 0) return { buffer, bytesRead: 0 };
    return new Promise((resolve, reject) => {
      this._reads.push({ buffer, offset, length, resolve, reject });
      if (this._reads.length === 1) this._pull();
    });
  }

  // Fills the waiting reads from what has arrived, without waiting.
  _pull() {
    const api = native();
    while (this._open && !this._removed && this._reads.length) {
      const r = this._reads[0];
      const received = [0];
      const code = api.qv_recv_some(this._serial._handle, r.buffer.subarray(r.offset, r.offset + r.length),
        r.length, 0, received);
      if (code === status.WAIT_TIMEOUT) return;
      if (code) {
        this._gone(new QuorvelError(code, 'qv_recv_some'));
        return;
      }
      this._reads.shift();
      r.resolve({ buffer: r.buffer, bytesRead: received[0] });
    }
  }

  // The device went away (cause null: its removal event), or a read failed,
  // which ends the port as the interface defines it: what waits rejects,
  // and so does every call until close().
  _gone(cause) {
    if (!this._open || this._removed) return;
    this._removed = portError(cause && cause.errno !== DEVICE_NOT_CONNECTED
      ? `Reading from ${this.openOptions.path}: ${cause.message}`
      : `${this.openOptions.path} was disconnected`, { disconnected: true }, cause);
    for (const r of this._reads.splice(0)) r.reject(this._removed);
    if (!this._serial.closed) this._serial.close();
  }

  async write(buffer) {
    if (!Buffer.isBuffer(buffer)) throw new TypeError('"buffer" is not a Buffer');
    this._checkOpen();
    if (buffer.length === 0) return;
    const writing = this._serial.write(buffer).then(() => {}, (err) => {
      if (!this._open) throw portError('Port is closed', { canceled: true }, err);
      if (this._removed) throw this._removed;
      throw err;
    });
    this._writing = writing.catch(() => {});
    return writing;
  }

  async update(options) {
    if (!options || typeof options !== 'object' || Array.isArray(options)) throw new TypeError('"options" is not an object');
    if (!Number.isInteger(options.baudRate) || options.baudRate <= 0) {
      throw new TypeError('"options.baudRate" is not a valid baudRate');
    }
    this._checkOpen();
    await this._serial.setLine({ baudRate: options.baudRate });
  }

  // Every output line is set on each call, to the value given or off; cts
  // and dsr are accepted and change nothing. A line the driver refuses
  // rejects with its error once the others are set.
  async set(options) {
    if (!options || typeof options !== 'object' || Array.isArray(options)) throw new TypeError('"options" is not an object');
    this._checkOpen();
    let failure = null;
    for (const line of ['rts', 'dtr', 'brk']) {
      try {
        await this._serial.set({ [line]: Boolean(options[line]) });
      } catch (err) {
        failure = failure || err;
      }
    }
    if (failure) throw failure;
  }

  async get() {
    this._checkOpen();
    const { cts, dsr, dcd } = this._serial.getModemStatus();
    return { cts, dsr, dcd };
  }

  async getBaudRate() {
    this._checkOpen();
    return { baudRate: this._serial.getLine().baudRate };
  }

  async flush() {
    this._checkOpen();
    this._serial.purge();
  }

  // Resolves once the write under way has ended and the driver has sent
  // every byte.
  async drain() {
    this._checkOpen();
    await this._writing;
    for (let pause = 1; this._open && !this._removed && this._serial.counts().toSend > 0; pause = Math.min(pause * 2, 20)) {
      await new Promise((resolve) => setTimeout(resolve, pause));
    }
    this._checkOpen();
  }
}

const QuorvelBinding = {
  // Every port of the merged list; fields the system does not know are undefined.
  async list() {
    const ports = await listSerialPorts();
    await readLocations();
    return ports.map((p) => portInfo(p, locations));
  },

  async open(options) {
    const o = checkOpenOptions(options);
    const key = portKey(o.path);
    if (held.has(key)) {
      throw new QuorvelError(ACCESS_DENIED, 'qv_serial_open', `Opening ${o.path}: this process has it open`);
    }
    held.add(key);
    let serial = null;
    try {
      const made = [0];
      const code = await callAsync('qv_serial_open', o.path, made);
      if (code) throw new QuorvelError(code, 'qv_serial_open', `Opening ${o.path}`);
      serial = new BoundSerial(made[0], o.path);
      const flowControl = o.rtscts ? 'rtscts' : (o.xon || o.xoff ? 'xonxoff' : 'none');
      await serial.setLine({ baudRate: o.baudRate, dataBits: o.dataBits, parity: o.parity, stopBits: o.stopBits, flowControl });
      serial.purge();
      // DTR stays low for hupcl: false (a board that resets on DTR does not);
      // a driver without DTR has none to lower.
      if (!o.hupcl) await serial.set({ dtr: false }).catch(() => {});
    } catch (err) {
      held.delete(key);
      if (serial) serial.close();
      throw err;
    }
    return new QuorvelPortBinding(serial, o, key);
  },

  // An EventEmitter: 'ready' once the watch has read the port list, then
  // 'add' and 'remove' (PortInfo) as ports arrive and leave, 'error', and
  // 'close' after close(). { present: the ports present at the start as
  // 'add' first, rescanMs: the re-read period (2000 ms) }.
  watch(options = {}) {
    checkWatchOptions(options);
    const emitter = new EventEmitter();
    let watcher = null;
    let closed = false;
    let order = Promise.resolve();
    emitter.close = () => {
      closed = true;
      if (watcher) watcher.close();
    };
    const tell = (name, port) => {
      order = order.then(async () => {
        if (name === 'add') await readLocations().catch(() => {});
        if (!closed) emitter.emit(name, portInfo(port, locations));
      });
    };
    PortWatcher.open(options).then((w) => {
      watcher = w;
      w.on('arrival', (p) => tell('add', p));
      w.on('removal', (p) => tell('remove', p));
      w.on('error', (err) => emitter.emit('error', err));
      w.on('close', () => { order = order.then(() => emitter.emit('close')); });
      if (closed) w.close();
      else emitter.emit('ready');
    }, (err) => emitter.emit('error', err));
    return emitter;
  },
};

module.exports = { QuorvelBinding, QuorvelPortBinding };
