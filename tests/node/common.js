'use strict';
// Shared by the Node.js package's tests: the package as installed, loading
// the quorvel.dll named by QV_DLL where one is (else its own), bounded waits
// that name what they waited for, the loopback peer's ports, and the test
// DLL's simulators.
const assert = require('assert');
const fs = require('fs');

const quorvel = require('quorvel');  // as npm packs it (tests/node/run.sh)
if (process.env.QV_DLL) quorvel.load(process.env.QV_DLL);

// Resolves with promise's value, or fails naming what did not happen in time.
function within(promise, ms, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new assert.AssertionError({ message: `timed out after ${ms} ms: ${what}` })), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// The next emission of name on emitter (its arguments as an array).
const next = (emitter, name, ms, what) =>
  within(new Promise((resolve) => emitter.once(name, (...args) => resolve(args))), ms, what);

// Resolves once predicate() holds (checked every 10 ms); bound it with within().
const until = (predicate) => new Promise((resolve) => {
  const poll = () => (predicate() ? resolve() : setTimeout(poll, 10));
  poll();
});

// { tcp, udp, close }: the ports of tests/socket/peer.py.
function peer() {
  const ports = {};
  for (const line of fs.readFileSync(process.env.QV_PEER_INFO, 'utf8').split('\n')) {
    const [name, port] = line.split(' ');
    if (port) ports[name] = Number(port);
  }
  return ports;
}

// The test build's exports (tests/node/sim_dll.cpp), through koffi.
function simulators() {
  const koffi = require('koffi');
  const lib = koffi.load(process.env.QV_DLL);
  const f = (name, args) => lib.func(name, 'uint32_t', args);
  const usbPort = f('qvsim_usb_port', ['str16', 'str16', 'str16', 'str16', 'str16']);
  const serialSettings = f('qvsim_serial_settings', ['str16', 'void *']);
  return {
    serialAdd: f('qvsim_serial_add', ['str16']),
    serialArrive: f('qvsim_serial_arrive', ['str16', 'void *', 'uint32_t', 'uint32_t']),
    serialRemove: f('qvsim_serial_remove', ['str16']),
    serialSent: f('qvsim_serial_sent', ['str16', 'void *', 'uint32_t']),
    serialModem: f('qvsim_serial_modem', ['str16', 'uint32_t', 'uint32_t']),
    serialRoundBaud: f('qvsim_serial_round_baud', ['str16', 'uint32_t', 'uint32_t']),
    serialLinesOut: f('qvsim_serial_lines_out', ['str16']),
    adapters: f('qvsim_adapters', ['int']),
    serialStall: f('qvsim_serial_stall', ['str16', 'uint32_t']),
    serialWriteRequests: f('qvsim_serial_write_requests', ['str16']),
    // { baudRate, dataBits, parity, stopBits, flow, rtsControl } of the port's DCB.
    serialSettings: (name) => {
      const values = Buffer.alloc(24);
      assert.strictEqual(serialSettings(name, values), 0);
      const [baudRate, dataBits, parity, stopBits, flow, rtsControl] = [0, 1, 2, 3, 4, 5].map((i) => values.readUInt32LE(i * 4));
      return { baudRate, dataBits, parity, stopBits, flow, rtsControl };
    },
    // A USB adapter's port; location may be left out.
    usbPort: (port, instance, hardware, friendly, location = null) => usbPort(port, instance, hardware, friendly, location),
    cListJson: f('qvsim_c_list_json', ['uint32_t', 'void *', 'uint32_t']),
    reset: f('qvsim_reset', []),
  };
}

module.exports = { quorvel, within, next, until, peer, simulators };
