'use strict';
// TCP and UDP through the package against the Linux peer (tests/socket/peer.py)
// and Node's own net module.
const test = require('node:test');
const assert = require('assert');
const crypto = require('crypto');
const net = require('net');
const { quorvel, within, next, peer } = require('./common');

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

test('TCP server: a connection closed inside its own data handler emits nothing but one close', async () => {
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
