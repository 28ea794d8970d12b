'use strict';
// A serial port of the test DLL's simulator, through the package.
const test = require('node:test');
const assert = require('assert');
const crypto = require('crypto');
const { quorvel, within, next, until, simulators } = require('./common');

const sim = simulators();
const arrive = (port, bytes, commError = 0) => assert.strictEqual(sim.serialArrive(port, bytes, bytes.length, commError), 0);

// Resolves once count bytes have come as 'data'.
function collect(port, count, what) {
  const chunks = [];
  let total = 0;
  const whole = new Promise((resolve) => port.on('data', (chunk) => {
    chunks.push(chunk);
    total += chunk.length;
    if (total >= count) resolve(Buffer.concat(chunks));
  }));
  return () => within(whole, 10000, `${what} (${total} of ${count} bytes so far)`);
}

test('serial: data events, writes, line settings, line errors, then removal', async () => {
  assert.strictEqual(sim.serialAdd('COM7'), 0);
  const port = await quorvel.openSerialPort('COM7', { baudRate: 115200, parity: 'even', stopBits: 2 });
  assert.deepStrictEqual(port.getLine(), { baudRate: 115200, dataBits: 8, parity: 'even', stopBits: 2, flowControl: 'none' });
  await assert.rejects(quorvel.openSerialPort('COM7'), { code: 'ERROR_ACCESS_DENIED' });
  await assert.rejects(quorvel.openSerialPort('COM99'), { errno: 2, code: 'ERROR_FILE_NOT_FOUND' });

  // Bytes that come while nobody listens wait for the first 'data' listener.
  const payload = crypto.randomBytes(300000);
  arrive('COM7', payload);
  await within(until(() => port.counts().toRead === payload.length), 5000, 'the bytes waiting in the port');
  await new Promise((r) => setTimeout(r, 300));  // room for their data-ready event to go by
  const received = collect(port, payload.length, 'the simulated line');
  assert.ok((await received()).equals(payload));

  const lineError = next(port, 'lineError', 5000, "'lineError' for a framing error");
  arrive('COM7', Buffer.from('xy'), 0x8);
  const [info] = await lineError;
  assert.ok(info.errors & 0x8 && info.names.includes('CE_FRAME'), JSON.stringify(info));

  assert.strictEqual(await port.write('hello\0world'), 11);
  const sent = Buffer.alloc(64);
  assert.strictEqual(sent.toString('latin1', 0, sim.serialSent('COM7', sent, sent.length)), 'hello\0world');

  const removed = next(port, 'removed', 5000, "'removed' when the device goes away");
  const closed = next(port, 'close', 5000, "'close' after 'removed'");
  assert.strictEqual(sim.serialRemove('COM7'), 0);
  await removed;
  await closed;
  assert.strictEqual(port.closed, true);
});

test('serial: a port closed inside its data handler is never called again', async () => {
  assert.strictEqual(sim.serialAdd('COM8'), 0);
  const port = await quorvel.openSerialPort('COM8');
  let chunks = 0;
  let closes = 0;
  port.on('close', () => closes++);
  const first = new Promise((resolve) => port.on('data', () => {
    chunks++;
    port.close();
    resolve();
  }));
  arrive('COM8', Buffer.from('a'));
  await within(first, 5000, 'the first data event');
  arrive('COM8', Buffer.from('b'));
  await new Promise((r) => setTimeout(r, 300));  // room for an event that must not come
  assert.strictEqual(chunks, 1);
  assert.strictEqual(closes, 1);
  const again = await quorvel.openSerialPort('COM8');  // the port was let go
  again.close();
});

test('serial: the modem lines out and in, modem events while listened for, a driver without them', async () => {
  assert.strictEqual(sim.serialAdd('COM9'), 0);
  assert.strictEqual(sim.serialRoundBaud('COM9', 115200, 115384), 0);
  const port = await quorvel.openSerialPort('COM9', { baudRate: 115200 });
  assert.strictEqual(port.getLine().baudRate, 115384);  // what the driver took
  await port.set({ dtr: false, brk: true });
  assert.strictEqual(sim.serialLinesOut('COM9'), 2 | 4);  // RTS and break
  await port.set({ brk: false });
  await port.sendBreak(20);
  await assert.rejects(port.set({ dtr: 'off' }), TypeError);
  await assert.rejects(port.setLine({ dataBits: 12 }), TypeError);
  assert.strictEqual(port.getLine().dataBits, 8);

  const modem = (lines, refuse = 0) => assert.strictEqual(sim.serialModem('COM9', lines, refuse), 0);
  modem(0x10 | 0x80);
  assert.deepStrictEqual(port.getModemStatus(), { cts: true, dsr: false, ring: false, dcd: true });
  const changes = [];
  const onModem = (change) => changes.push(change);
  port.on('modem', onModem);
  modem(0x10 | 0x20 | 0x80);
  await within(until(() => changes.length === 1), 5000, "a 'modem' event for DSR");
  assert.deepStrictEqual(changes[0], { cts: true, dsr: true, ring: false, dcd: true, changed: ['dsr'] });
  port.off('modem', onModem);  // no longer asked of the port: asked again below

  modem(0, 50);  // a driver without modem lines: its error
  await assert.rejects(port.set({ rts: true }), { code: 'ERROR_NOT_SUPPORTED' });
  assert.throws(() => port.getModemStatus(), { code: 'ERROR_NOT_SUPPORTED' });
  assert.throws(() => port.on('modem', onModem), { code: 'ERROR_NOT_SUPPORTED' });
  assert.strictEqual(port.listenerCount('modem'), 0);
  port.close();
});

test('serial: writes a port cannot send leave the pool free, and end on close', async () => {
  const fs = require('fs');
  const ports = [];
  for (const name of ['COM31', 'COM32', 'COM33', 'COM34']) {
    assert.strictEqual(sim.serialAdd(name), 0);
    assert.strictEqual(sim.serialStall(name, 1), 0);  // the driver takes nothing
    ports.push(await quorvel.openSerialPort(name, { baudRate: 115200 }));
  }
  // Each call holds a pool thread for twice the line's time for its bytes (and 50 ms).
  const writes = ports.map((port) => port.write(Buffer.alloc(4096)).then(
    () => assert.fail('a write the driver never took ended'), (err) => err));
  await new Promise((r) => setTimeout(r, 300));
  await within(fs.promises.readFile(__filename), 10000, "a file read on libuv's pool beside the stalled writes");
  for (const port of ports) port.close();
  for (const err of await within(Promise.all(writes), 10000, 'the stalled writes ending on close')) {
    assert.strictEqual(err.code, 'ERROR_OPERATION_ABORTED');
  }
});

test('serial: a write the driver takes late goes whole, in one request (no gap inside a frame)', async () => {
  assert.strictEqual(sim.serialAdd('COM35'), 0);
  const port = await quorvel.openSerialPort('COM35', { baudRate: 115200 });
  assert.strictEqual(sim.serialStall('COM35', 1), 0);
  const frame = Buffer.alloc(2000, 0x55);  // about 200 ms of the line
  const written = port.write(frame);
  await new Promise((r) => setTimeout(r, 150));
  assert.strictEqual(sim.serialStall('COM35', 0), 0);
  assert.strictEqual(await within(written, 10000, 'the write'), frame.length);
  assert.strictEqual(sim.serialWriteRequests('COM35'), 1);
  port.close();
});
