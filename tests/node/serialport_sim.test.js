'use strict';
// The node-serialport binding against the test DLL's simulated ports and
// device nodes: what open() gives the driver, a write cut by close, an
// adapter pulled under SerialPortStream, list() and watch().
const test = require('node:test');
const assert = require('assert');
const { SerialPortStream } = require('@serialport/stream');
const { QuorvelBinding } = require('quorvel/serialport');
const { within, next, until, simulators } = require('./common');

const sim = simulators();
const DCB_PARITY = { none: 0, odd: 1, even: 2, mark: 3, space: 4 };
const DCB_STOP_BITS = { 1: 0, 1.5: 1, 2: 2 };

test('open() gives the driver every option; a non-standard rate; hupcl; set() sets every line; a write canceled', async () => {
  assert.strictEqual(sim.serialAdd('COM21'), 0);
  for (const [options, flow, rtsControl] of [
    [{ dataBits: 7, stopBits: 1.5, parity: 'mark', rtscts: true }, 1, 2],   // CTS out, RTS handshake
    [{ dataBits: 5, stopBits: 2, parity: 'space', xon: true }, 4 | 8, 1],  // XON/XOFF both ways
    [{ dataBits: 6, stopBits: 1, parity: 'odd', xoff: true, xany: true }, 4 | 8, 1],
  ]) {
    const port = await QuorvelBinding.open({ path: 'COM21', baudRate: 250000, ...options });
    assert.deepStrictEqual(sim.serialSettings('COM21'), {
      baudRate: 250000, dataBits: options.dataBits, parity: DCB_PARITY[options.parity],
      stopBits: DCB_STOP_BITS[options.stopBits], flow, rtsControl,
    }, JSON.stringify(options));
    await port.close();
  }
  await assert.rejects(QuorvelBinding.open({ path: 'COM21', baudRate: 9600, rtscts: true, xon: true }), TypeError);

  // The driver takes a nearby rate: getBaudRate says which.
  assert.strictEqual(sim.serialRoundBaud('COM21', 31250, 31200), 0);
  const port = await QuorvelBinding.open({ path: 'COM21', baudRate: 31250, hupcl: false });
  assert.deepStrictEqual(await port.getBaudRate(), { baudRate: 31200 });
  assert.strictEqual(sim.serialLinesOut('COM21') & 1, 0, 'DTR stays low with hupcl: false');
  await port.set({ dtr: true, brk: true });  // RTS not given: low
  assert.strictEqual(sim.serialLinesOut('COM21'), 1 | 4);
  await port.set({ rts: true });
  assert.strictEqual(sim.serialLinesOut('COM21'), 2);
  sim.serialModem('COM21', 0x10 | 0x80, 0);
  assert.deepStrictEqual(await port.get(), { cts: true, dsr: false, dcd: true });

  sim.serialStall('COM21', 1);
  const writing = port.write(Buffer.from('held'));
  const draining = port.drain();
  await new Promise((r) => setTimeout(r, 200));
  await port.close();
  await assert.rejects(writing, (err) => err.canceled === true);
  await assert.rejects(draining, (err) => err.canceled === true || /not open/.test(err.message));
  sim.serialStall('COM21', 0);
});

test('an adapter pulled under SerialPortStream: a read that waits, then close with disconnected', async () => {
  assert.strictEqual(sim.serialAdd('COM22'), 0);
  const stream = new SerialPortStream({ binding: QuorvelBinding, path: 'COM22', baudRate: 9600 });
  await next(stream, 'open', 10000, "the stream's open");
  const data = next(stream, 'data', 10000, 'data from the line');
  assert.strictEqual(sim.serialArrive('COM22', Buffer.from('abc'), 3, 0), 0);
  assert.strictEqual((await data)[0].toString(), 'abc');
  const port = stream.port;

  const closed = next(stream, 'close', 10000, "'close' after the adapter is pulled");
  assert.strictEqual(sim.serialRemove('COM22'), 0);
  const [err] = await closed;
  assert.strictEqual(err && err.disconnected, true, String(err));
  assert.strictEqual(port.isOpen, false);
  assert.strictEqual(stream.isOpen, false);

  // Directly: calls after the removal fail as disconnected until close().
  assert.strictEqual(sim.serialAdd('COM23'), 0);
  const direct = await QuorvelBinding.open({ path: 'COM23', baudRate: 9600 });
  const waiting = direct.read(Buffer.alloc(8), 0, 8);
  assert.strictEqual(sim.serialRemove('COM23'), 0);
  await assert.rejects(within(waiting, 10000, 'the read ending'), (e) => e.disconnected === true && !e.canceled);
  await assert.rejects(direct.write(Buffer.from('x')), (e) => e.disconnected === true);
  assert.strictEqual(direct.isOpen, true);
  await direct.close();
  assert.strictEqual(direct.isOpen, false);
});

// The PortInfo of path once list() or a watch has it (a watch may tell a
// port before the device map's value has come: look again then).
const infoOf = async (path) => (await QuorvelBinding.list()).find((p) => p.path === path);

test('list() and watch(): PortInfo with hex ids, the location, undefined for what is unknown', async () => {
  const emitter = QuorvelBinding.watch({ rescanMs: 100 });
  const added = [];
  const removed = [];
  emitter.on('add', (p) => added.push(p));
  emitter.on('remove', (p) => removed.push(p));
  await next(emitter, 'ready', 10000, "the watch's first reading");
  try {
    assert.strictEqual(sim.usbPort('COM61', 'USB\\VID_10C4&PID_EA60\\QVSP61', 'USB\\VID_10C4&PID_EA60',
      'CP210x (COM61)', 'Port_#0002.Hub_#0001'), 0);
    assert.strictEqual(sim.usbPort('COM62', 'FTDIBUS\\VID_0403+PID_6001+QVSP62A\\0000', 'FTDIBUS\\COMPORT&VID_0403&PID_6001',
      'USB Serial Port (COM62)'), 0);
    const ports = await QuorvelBinding.list();
    assert.deepStrictEqual(ports.find((p) => p.path === 'COM61'), {
      path: 'COM61', manufacturer: undefined, serialNumber: 'QVSP61', pnpId: 'USB\\VID_10C4&PID_EA60\\QVSP61',
      locationId: 'Port_#0002.Hub_#0001', productId: 'EA60', vendorId: '10C4', friendlyName: 'CP210x (COM61)',
    });
    const ftdi = ports.find((p) => p.path === 'COM62');
    assert.strictEqual(ftdi.locationId, undefined);
    for (const p of ports) {
      for (const [key, value] of Object.entries(p)) {
        assert.ok(value === undefined || (typeof value === 'string' && value !== ''), `${p.path}.${key}: ${JSON.stringify(value)}`);
      }
      for (const id of [p.vendorId, p.productId]) assert.ok(id === undefined || /^[0-9A-F]{4}$/.test(id), id);
    }

    await within(until(() => added.some((p) => p.path === 'COM61')), 20000, "'add' of COM61");
    const add = added.find((p) => p.path === 'COM61');
    assert.deepStrictEqual({ ...add, friendlyName: undefined }, { ...(await infoOf('COM61')), friendlyName: undefined });
    sim.reset();
    await within(until(() => removed.some((p) => p.path === 'COM61')), 20000, "'remove' of COM61");
    assert.strictEqual(removed.find((p) => p.path === 'COM61').locationId, 'Port_#0002.Hub_#0001');
  } finally {
    sim.reset();
    const closed = next(emitter, 'close', 10000, "the watch's close");
    emitter.close();
    await closed;
  }
  assert.throws(() => QuorvelBinding.watch({ rescanMs: 5 }), TypeError);
});
