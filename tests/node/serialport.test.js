'use strict';
// The node-serialport binding (quorvel/serialport) against a Wine COM port
// on a Linux pseudo-terminal whose other end echoes every byte
// (tests/serial/pty_run.py --echo; QV_PTY_PORT names the port), directly
// and under node-serialport's own SerialPortStream and parsers. The package
// loads its own DLL, as installed. Wine's pty driver has no modem lines.
const test = require('node:test');
const assert = require('assert');
const { SerialPortStream } = require('@serialport/stream');
const { ReadlineParser } = require('@serialport/parser-readline');
const { DelimiterParser } = require('@serialport/parser-delimiter');
const { ByteLengthParser } = require('@serialport/parser-byte-length');
const { InterByteTimeoutParser } = require('@serialport/parser-inter-byte-timeout');
const { within, next } = require('./common');
const { QuorvelBinding } = require('quorvel/serialport');

const path = process.env.QV_PTY_PORT;
assert.ok(path, 'run through tests/serial/pty_run.py --echo, which makes the port');

// Reads through the port object until count bytes have come.
async function readBytes(port, count) {
  const buffer = Buffer.alloc(count + 8);
  let at = 4;
  while (at < count + 4) {
    const { bytesRead, buffer: same } = await within(port.read(buffer, at, count + 4 - at), 10000,
      `the echo (${at - 4} of ${count} bytes so far)`);
    assert.strictEqual(same, buffer);
    assert.ok(bytesRead >= 1);
    at += bytesRead;
  }
  return buffer.subarray(4, at);
}

test('open: arguments, the port a process holds, one that does not exist', async () => {
  await assert.rejects(QuorvelBinding.open(), { name: 'TypeError', message: /"options"/ });
  await assert.rejects(QuorvelBinding.open({ baudRate: 9600 }), { name: 'TypeError', message: /"path"/ });
  await assert.rejects(QuorvelBinding.open({ path: '', baudRate: 9600 }), { name: 'TypeError', message: /"path"/ });
  await assert.rejects(QuorvelBinding.open({ path }), { name: 'TypeError', message: /"baudRate"/ });
  await assert.rejects(QuorvelBinding.open({ path, baudRate: 9600, lock: false }), { name: 'TypeError', message: /lock/ });
  await assert.rejects(QuorvelBinding.open({ path, baudRate: 9600, parity: 'often' }), TypeError);
  await assert.rejects(QuorvelBinding.open({ path: 'COM255', baudRate: 9600 }),
    (err) => err.code === 'ERROR_FILE_NOT_FOUND' && /COM255/.test(err.message));

  const port = await QuorvelBinding.open({ path, baudRate: 19200, stopBits: 2, parity: 'even' });
  assert.deepStrictEqual(port.openOptions, {
    path, baudRate: 19200, dataBits: 8, lock: true, stopBits: 2, parity: 'even', rtscts: false,
    xon: false, xoff: false, xany: false, hupcl: true,
  });
  // Wine's pty driver would open it twice; the binding does not.
  for (const again of [path, path.toLowerCase(), `\\\\.\\${path}`]) {
    await assert.rejects(QuorvelBinding.open({ path: again, baudRate: 9600 }),
      (err) => err.code === 'ERROR_ACCESS_DENIED' && err.message.includes(again));
  }
  await port.close();
  await QuorvelBinding.open({ path, baudRate: 9600 }).then((p) => p.close());
});

test('the port object: data both ways, settings, lines the driver lacks, reads and writes cut by close', async () => {
  const port = await QuorvelBinding.open({ path, baudRate: 115200 });
  assert.strictEqual(port.isOpen, true);
  await assert.rejects(port.read('not a buffer', 0, 1), TypeError);
  await assert.rejects(port.read(Buffer.alloc(4), 2, 4), RangeError);
  await assert.rejects(port.write('text'), TypeError);

  await port.write(Buffer.from('ping'));
  assert.strictEqual((await readBytes(port, 4)).toString(), 'ping');
  const payload = Buffer.from(Array.from({ length: 3000 }, (_, i) => i & 0xff));
  await port.write(payload);
  await port.drain();
  assert.ok((await readBytes(port, payload.length)).equals(payload));

  assert.deepStrictEqual(await port.getBaudRate(), { baudRate: 115200 });
  await port.update({ baudRate: 38400 });
  assert.deepStrictEqual(await port.getBaudRate(), { baudRate: 38400 });
  await assert.rejects(port.update({}), TypeError);
  await port.flush();

  // DTR, RTS and the input lines: the driver's error; the break is set all
  // the same, and data still flows.
  await assert.rejects(port.set({ dtr: true, rts: true, brk: false }), (err) => err.name === 'QuorvelError');
  await assert.rejects(port.get(), (err) => err.name === 'QuorvelError');
  await port.write(Buffer.from('pong'));
  assert.strictEqual((await readBytes(port, 4)).toString(), 'pong');

  // A read that waits when the port closes: canceled.
  const waiting = port.read(Buffer.alloc(16), 0, 16);
  await new Promise((r) => setTimeout(r, 200));
  await port.close();
  await assert.rejects(waiting, (err) => err.canceled === true && !err.disconnected);
  assert.strictEqual(port.isOpen, false);
  await assert.rejects(port.close(), /not open/);
  await assert.rejects(port.read(Buffer.alloc(1), 0, 1), /not open/);
  await assert.rejects(port.write(Buffer.from('x')), /not open/);
});

test('SerialPortStream with the binding: lines through a ReadlineParser, the other parsers, close', async () => {
  const stream = new SerialPortStream({ binding: QuorvelBinding, path, baudRate: 57600 });
  await within(next(stream, 'open', 10000, "the stream's open"), 10000, 'open');
  const lines = [];
  const delimited = [];
  const pieces = [];
  const bursts = [];
  stream.pipe(new ReadlineParser({ delimiter: '\n' })).on('data', (line) => lines.push(line));
  stream.pipe(new DelimiterParser({ delimiter: '|' })).on('data', (b) => delimited.push(b.toString()));
  stream.pipe(new ByteLengthParser({ length: 4 })).on('data', (b) => pieces.push(b.toString()));
  stream.pipe(new InterByteTimeoutParser({ interval: 400 })).on('data', (b) => bursts.push(b.toString()));

  stream.write('hello\nworld\n');
  stream.write('ab|cd|');
  await within(new Promise((resolve) => {
    const look = () => (bursts.join('') === 'hello\nworld\nab|cd|' ? resolve() : setTimeout(look, 20));
    look();
  }), 15000, 'the echo through every parser');
  assert.deepStrictEqual(lines, ['hello', 'world']);
  assert.deepStrictEqual(delimited, ['hello\nworld\nab', 'cd']);
  assert.deepStrictEqual(pieces.join(''), 'hello\nworld\nab|cd|'.slice(0, pieces.length * 4));
  assert.ok(pieces.every((p) => p.length === 4));

  const closed = next(stream, 'close', 10000, "the stream's close");
  stream.close();
  const [err] = await closed;
  assert.strictEqual(err, null);
  assert.strictEqual(stream.isOpen, false);
});

test("serialport's own SerialPort with the binding: a line through its ReadlineParser", async () => {
  const { SerialPort, ReadlineParser } = require('serialport');
  const port = new SerialPort({ binding: QuorvelBinding, path, baudRate: 9600 });
  const line = new Promise((resolve) => port.pipe(new ReadlineParser()).once('data', resolve));
  await next(port, 'open', 10000, "the port's open");
  port.write('hello there\n');
  assert.strictEqual(await within(line, 10000, 'the echoed line'), 'hello there');
  const closed = next(port, 'close', 10000, "the port's close");
  port.close();
  await closed;
});
