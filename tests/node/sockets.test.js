'use strict';
// TCP and UDP through the package against the Linux peer (tests/socket/peer.py)
// and Node's own net module.
const test = require('node:test');
const assert = require('assert');
const crypto = require('crypto');
const fs = require('fs');
const net = require('net');
const { quorvel, within, next, until, peer } = require('./common');

const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');

test('TCP: 10 MB echoed by a Linux peer come back whole and in order', async () => {
  const socket = await within(quorvel.connect({ port: peer().tcp, timeout: 5000 }), 10000, 'connect to the peer');
  const data = crypto.randomBytes(10 * 1024 * 1024);
  const hash = crypto.createHash('sha256');
  let received = 0;
  const echoed = new Promise((resolve) => socket.on('data', (chunk) => {
    hash.update(chunk);
    received += chunk.length;
    if (received >= data.length) resolve();
  }));
  const writes = [];
  for (let at = 0; at < data.length; at += 50000) writes.push(socket.write(data.subarray(at, at + 50000)));
  const sent = await within(Promise.all(writes), 60000, 'every write of the 10 MB');
  assert.strictEqual(sent.reduce((a, b) => a + b), data.length);
  await within(echoed, 60000, 'the whole echo');
  assert.strictEqual(received, data.length);
  assert.strictEqual(hash.digest('hex'), sha256(data));
  const closed = next(socket, 'close', 5000, "'close' after close()");
  socket.close();
  await closed;
  await assert.rejects(socket.write('late'), { errno: 6, code: 'ERROR_INVALID_HANDLE' });
});

test("UDP: datagrams carry their sender's address and port", async () => {
  const a = quorvel.bindUdp();
  const b = quorvel.bindUdp();
  const got = next(b, 'message', 5000, 'a datagram from the other socket');
  await a.send('ping', b.address().port);
  const [message, from] = await got;
  assert.strictEqual(message.toString(), 'ping');
  assert.deepStrictEqual(from, { address: '127.0.0.1', port: a.address().port, size: 4 });

  const echoed = next(a, 'message', 5000, "the Linux peer's answer");
  await a.send(Buffer.from([0, 1, 0xfe, 0xff]), peer().udp);
  const [answer, peerFrom] = await echoed;
  assert.deepStrictEqual([...answer], [0, 1, 0xfe, 0xff]);
  assert.deepStrictEqual(peerFrom, { address: '127.0.0.1', port: peer().udp, size: 4 });
  await assert.rejects(a.send(Buffer.alloc(65508), b.address().port), RangeError);
  a.close();
  b.close();
});

test('TCP server: a connection closed inside its own data handler, then again, emits nothing but one close', async () => {
  const server = quorvel.listen({ host: '127.0.0.1' });
  const accepted = next(server, 'connection', 5000, 'the connection from net');
  const client = net.connect(server.address().port, '127.0.0.1');
  client.on('error', () => {});  // a reset for what it sends after the close
  const connected = new Promise((resolve) => client.on('connect', resolve));
  const [socket] = await accepted;
  await within(connected, 5000, "net's connect");
  assert.deepStrictEqual(socket.remoteAddress(), { address: '127.0.0.1', port: client.localPort });
  let chunks = 0;
  let closes = 0;
  socket.on('close', () => closes++);
  const first = new Promise((resolve) => socket.on('data', () => {
    chunks++;
    socket.close();
    resolve();
  }));
  client.write('one');
  await within(first, 5000, 'the first data event');
  socket.close();  // a second close: nothing more
  client.write('two');
  await within(new Promise((r) => client.on('close', r)), 5000, 'net seeing the connection closed');
  await new Promise((r) => setTimeout(r, 300));  // room for an event that must not come
  assert.strictEqual(chunks, 1);
  assert.strictEqual(closes, 1);
  server.close();
});

test('TCP: a peer that closes gives its data, then end and close; a refused connect rejects with its code', async () => {
  const socket = await within(quorvel.connect({ port: peer().close, timeout: 5000 }), 10000, 'connect');
  const data = [];
  socket.on('data', (chunk) => data.push(chunk));
  const ended = next(socket, 'end', 5000, "'end' after the peer closed");
  const closed = next(socket, 'close', 5000, "'close' after 'end'");
  await ended;
  await closed;
  assert.strictEqual(Buffer.concat(data).toString(), 'bye');
  assert.strictEqual(socket.closed, true);

  const server = quorvel.listen({ host: '127.0.0.1' });
  const { port } = server.address();
  server.close();
  await assert.rejects(quorvel.connect({ port, timeout: 5000 }),
    (err) => err instanceof quorvel.QuorvelError && err.errno === 10061 && err.code === 'WSAECONNREFUSED');
});

test("events come while other work fills libuv's pool", async () => {
  const echo = await within(quorvel.connect({ port: peer().tcp, timeout: 5000 }), 10000, 'connect to the peer');
  // Four jobs of a second or more hold the pool's four threads.
  let done = 0;
  const busy = Array.from({ length: 4 }, () => new Promise((resolve, reject) =>
    crypto.pbkdf2('x', 'y', 2000000, 64, 'sha512', (err) => (err ? reject(err) : resolve(++done)))));
  // One listener throughout: only events make it read.
  const received = [];
  echo.on('data', (data) => received.push(data.toString()));
  for (const word of ['one', 'two', 'three']) {
    await echo.write(word);
    await within(until(() => received.join('').endsWith(word)), 30000, `the echo of ${word} while the pool is busy`);
  }
  assert.strictEqual(done, 0, 'the echoes came only once the pool was free');
  await Promise.all(busy);
  echo.close();
});

test('writes blocked on peers that do not read starve neither events nor the pool; close ends them', async () => {
  // Four writes (libuv's pool has four threads) that cannot finish: the
  // other end never reads.
  const server = net.createServer((socket) => socket.pause());
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  server.on('connection', (socket) => socket.on('error', () => {}));  // a reset at the close
  const stuck = await Promise.all([1, 2, 3, 4].map(() => quorvel.connect({ port: server.address().port, timeout: 5000 })));
  const writes = stuck.map((socket) => socket.write(Buffer.alloc(64 << 20)).then(
    () => assert.fail('a write to a peer that never reads ended'), (err) => err));
  await new Promise((r) => setTimeout(r, 500));  // room for them to fill the buffers and block

  // The pool still serves the process, and events still come.
  await within(fs.promises.readFile(__filename), 10000, 'a file read on the pool beside the blocked writes');
  const echo = await within(quorvel.connect({ port: peer().tcp, timeout: 5000 }), 10000, 'a connect beside them');
  const echoed = next(echo, 'data', 10000, 'an echo beside the blocked writes');
  await within(echo.write('ping'), 10000, 'a write beside them');
  assert.strictEqual((await echoed)[0].toString(), 'ping');
  echo.close();

  // A peer that reads again later, and never answers: the write ends with
  // no event of its endpoint to tell it that the socket takes more.
  const late = new Promise((resolve) => server.once('connection', resolve));
  const slow = await quorvel.connect({ port: server.address().port, timeout: 5000 });
  const reader = await late;
  let drained = 0;
  reader.on('data', (data) => { drained += data.length; });
  reader.pause();
  const big = slow.write(Buffer.alloc(16 << 20));
  await new Promise((r) => setTimeout(r, 300));
  reader.resume();
  assert.strictEqual(await within(big, 30000, 'a write to a peer that reads again'), 16 << 20);
  await within(until(() => drained === 16 << 20), 10000, 'the peer reading it all');
  slow.close();

  for (const socket of stuck) socket.close();
  for (const err of await within(Promise.all(writes), 10000, 'the blocked writes ending on close')) {
    assert.strictEqual(err.code, 'ERROR_OPERATION_ABORTED');
    assert.ok(err.bytesWritten > 0 && err.bytesWritten < 64 << 20, `${err.bytesWritten} bytes written`);
  }
  server.close();
});

test('bad arguments are TypeError or RangeError (a Promise rejects, others throw); failed calls QuorvelError', async () => {
  assert.throws(() => quorvel.listen({ port: 65536 }), RangeError);
  await assert.rejects(quorvel.connect({ port: 0 }), RangeError);
  await assert.rejects(quorvel.listDeviceInterfaces('not a GUID'), TypeError);
  // A host that is no text never reaches the DLL, which would take it for a pointer.
  for (const host of [12, true, {}, '']) {
    await assert.rejects(quorvel.connect({ host, port: 7 }), TypeError);
    await assert.rejects(quorvel.resolve(host), TypeError);
    assert.throws(() => quorvel.listen({ host }), TypeError);
  }
  const udp = quorvel.bindUdp();
  await assert.rejects(udp.send('x', 7, 12), TypeError);
  udp.close();
  const server = quorvel.listen({ host: '127.0.0.1' });
  const accepted = next(server, 'connection', 5000, 'the connection');
  const socket = await quorvel.connect({ port: server.address().port, timeout: 5000 });
  const written = socket.write(42);
  assert.ok(written instanceof Promise);
  await assert.rejects(written, TypeError);
  socket.close();
  await assert.rejects(socket.write('late'), (err) => err instanceof quorvel.QuorvelError && err.code === 'ERROR_INVALID_HANDLE');
  (await accepted)[0].close();
  server.close();
});
