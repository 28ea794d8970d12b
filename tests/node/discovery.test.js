'use strict';
// The port list and the adapters through the package, against the C
// interface's own records read by C (the test DLL's qvsim_c_list_json), with
// a simulated USB serial adapter and simulated network adapters.
const test = require('node:test');
const assert = require('assert');
const { quorvel, simulators } = require('./common');

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
    });
    const adapters = (await quorvel.listAdapters()).map((a) => ({ ...a, macBytes: [...a.macBytes] }));
    assert.strictEqual(adapters.length, 3);
    assert.deepStrictEqual(adapters, fromC(2));
  } finally {
    sim.reset();
  }
});
