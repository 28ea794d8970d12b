'use strict';
// The port list and the adapters through the package, against the C
// interface's own records read by C (the test DLL's qvsim_c_list_json), with
// a simulated USB serial adapter and simulated network adapters.
const test = require('node:test');
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { quorvel, simulators, within, next } = require('./common');

const sim = simulators();

function fromC(kind) {
  const buffer = Buffer.alloc(1 << 20);
  return JSON.parse(buffer.toString('utf8', 0, sim.cListJson(kind, buffer, buffer.length)));
}

test('the port list with USB ids and the adapters are those of the C interface', async () => {
  assert.strictEqual(sim.adapters(3), 0);
  assert.strictEqual(sim.usbPort('COM47', 'USB\\VID_0403&PID_6001\\QVNODE47',
    'USB\\VID_0403&PID_6001&REV_0600', 'USB Serial Port (COM47)'), 0);
  try {
    const ports = await quorvel.listSerialPorts();
    assert.deepStrictEqual(ports, fromC(1));
    assert.deepStrictEqual(ports.find((p) => p.name === 'COM47'), {
      name: 'COM47', path: '\\\\.\\COM47', friendlyName: 'USB Serial Port (COM47)',
      hardwareId: 'USB\\VID_0403&PID_6001&REV_0600', instanceId: 'USB\\VID_0403&PID_6001\\QVNODE47',
      serialNumber: 'QVNODE47', vendorId: 0x0403, productId: 0x6001, fromDeviceMap: true, fromInterface: true,
      bluetoothAddress: null, bluetoothName: null,
    });
    const adapters = (await quorvel.listAdapters()).map((a) => ({ ...a, macBytes: [...a.macBytes] }));
    assert.strictEqual(adapters.length, 3);
    assert.deepStrictEqual(adapters, fromC(2));
  } finally {
    sim.reset();
  }
});

// The next emission of name whose port is called port.
function nextOf(watcher, name, port) {
  return within(new Promise((resolve) => {
    const seen = (p) => {
      if (p.name !== port) return;
      watcher.off(name, seen);
      resolve(p);
    };
    watcher.on(name, seen);
  }), 20000, `${name} of ${port}`);
}

test('a watcher tells a USB adapter arriving and leaving, and findPort follows it', async () => {
  await assert.rejects(quorvel.watchPorts({ rescanMs: 50 }), TypeError);
  await assert.rejects(quorvel.findPort({ vendorId: 0x10000, productId: 1 }), TypeError);
  const watcher = await quorvel.watchPorts({ rescanMs: 100 });
  try {
    const arrival = nextOf(watcher, 'arrival', 'COM58');
    assert.strictEqual(sim.usbPort('COM58', 'USB\\VID_10C4&PID_EA60\\QVNODEW',
      'USB\\VID_10C4&PID_EA60', 'CP210x (COM58)'), 0);
    // The device map's value may come a reading after the interface: the
    // port is the same, its sources not yet.
    const same = ({ name, path, instanceId, serialNumber, vendorId, productId, bluetoothAddress }) =>
      ({ name, path, instanceId, serialNumber, vendorId, productId, bluetoothAddress });
    const port = same(await arrival);
    assert.deepStrictEqual(port, same((await quorvel.listSerialPorts()).find((p) => p.name === 'COM58')));
    assert.strictEqual(port.serialNumber, 'QVNODEW');
    const where = await quorvel.findPort({ vendorId: 0x10C4, productId: 0xEA60, serialNumber: 'qvnodew' });
    assert.deepStrictEqual(same(where), port);
    const removal = nextOf(watcher, 'removal', 'COM58');
    sim.reset();
    assert.deepStrictEqual(same(await removal), port);
    assert.strictEqual(await quorvel.findPort({ vendorId: 0x10C4, productId: 0xEA60 }), null);
  } finally {
    watcher.close();
    sim.reset();
  }

  // The present ports first; closed from its own handler, it tells nothing more.
  assert.strictEqual(sim.usbPort('COM59', 'USB\\VID_10C4&PID_EA60\\QVNODEX',
    'USB\\VID_10C4&PID_EA60', 'CP210x (COM59)'), 0);
  try {
    const present = await quorvel.watchPorts({ present: true, rescanMs: 100 });
    const closed = next(present, 'close', 20000, 'the watcher closed from its handler');
    let after = 0;
    present.on('arrival', (p) => {
      if (p.name === 'COM59') present.close();
      else if (present.closed) after++;
    });
    await closed;
    assert.strictEqual(after, 0);
  } finally {
    sim.reset();
  }
});

test("every C function the package declares takes the header's arguments", () => {
  const { declarations } = require('quorvel/lib/native');
  const header = fs.readFileSync(path.join(__dirname, '../../include/quorvel/quorvel_c.h'), 'utf8');
  // What a Node.js program does otherwise (events, JavaScript's own text helpers).
  const left = new Set(['qv_handle_kind', 'qv_set_callback', 'qv_set_window', 'qv_event_handle', 'qv_recv',
    'qv_ip_is_usable', 'qv_first_local_address', 'qv_mac_to_text', 'qv_mac_from_text']);
  for (const [, name, args] of header.matchAll(/QV_C_API DWORD WINAPI (qv_\w+)\(([^)]*)\)/g)) {
    if (left.has(name)) continue;
    assert.ok(declarations[name], `${name} is not declared`);
    assert.strictEqual(declarations[name].length, args.split(',').length, name);
  }
});
