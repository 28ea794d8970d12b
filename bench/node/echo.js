'use strict';
// The Node.js package against Node's own net module in the same node.exe:
// TCP echo throughput through the loopback peer (tests/socket/peer.py, its
// ports in the file QV_PEER_INFO), and the time from a peer's write (net,
// in this process) to the package's 'data' event. quorvel.dll: QUORVEL_DLL.
const fs = require('fs');
const net = require('net');
const quorvel = require('quorvel');  // as npm packs it (tests/node/run.sh)

const MB = 1024 * 1024;
const TOTAL = 32 * MB;
const CHUNK = 256 * 1024;
const ROUNDS = 200;
const ROUNDS_TCP = 3;

const peerPort = Number(/^tcp (\d+)$/m.exec(fs.readFileSync(process.env.QV_PEER_INFO, 'utf8'))[1]);
const chunk = Buffer.alloc(CHUNK, 0x5a);
const seconds = (start) => Number(process.hrtime.bigint() - start) / 1e9;
const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];

// Sends TOTAL bytes through an echo; MB/s of what came back.
async function echo(socket, write) {
  const start = process.hrtime.bigint();
  let received = 0;
  const done = new Promise((resolve) => socket.on('data', (data) => {
    received += data.length;
    if (received >= TOTAL) resolve();
  }));
  for (let sent = 0; sent < TOTAL; sent += CHUNK) await write(chunk);
  await done;
  return TOTAL / MB / seconds(start);
}

// The two take turns, ROUNDS_TCP times each after a round of each that is
// not counted: the first transfer of a process pays for compiling the code
// and growing the heap, which would count against whichever went first.
async function throughput() {
  const rates = { ours: [], theirs: [] };
  for (let round = 0; round <= ROUNDS_TCP; round++) {
    const ours = await quorvel.connect({ port: peerPort, timeout: 5000 });
    const oursRate = await echo(ours, (data) => ours.write(data));
    ours.close();
    const theirs = net.connect(peerPort, '127.0.0.1');
    await new Promise((resolve) => theirs.on('connect', resolve));
    const write = (data) => new Promise((resolve) => (theirs.write(data) ? resolve() : theirs.once('drain', resolve)));
    const theirsRate = await echo(theirs, write);
    theirs.destroy();
    if (round === 0) continue;
    rates.ours.push(oursRate);
    rates.theirs.push(theirsRate);
  }
  const oursRate = median(rates.ours);
  const theirsRate = median(rates.theirs);
  console.log(`ROW Node.js: TCP echo through the package, MB/s (median of ${ROUNDS_TCP})|${oursRate.toFixed(1)}|-`);
  console.log(`ROW Node.js: TCP echo through net, MB/s (median of ${ROUNDS_TCP})|${theirsRate.toFixed(1)}|-`);
  console.log(`ROW Node.js: package / net echo throughput|${(oursRate / theirsRate).toFixed(2)}|>= 0.8`);
}

// Median time from the writer's write() to the reader's 'data' event.
async function latency(reader, writer) {
  const times = [];
  for (let i = 0; i < ROUNDS; i++) {
    const arrived = new Promise((resolve) => reader.once('data', resolve));
    const start = process.hrtime.bigint();
    writer.write('x');
    await arrived;
    times.push(seconds(start) * 1e6);
    await new Promise((resolve) => setTimeout(resolve, 2));
  }
  return median(times);
}

async function main() {
  await throughput();
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const accepted = new Promise((resolve) => server.once('connection', resolve));
  const ours = await quorvel.connect({ port: server.address().port, timeout: 5000 });
  const peer = await accepted;
  ours.on('data', () => {});
  const oursTime = await latency(ours, peer);
  ours.close();
  const theirs = net.connect(server.address().port, '127.0.0.1');
  const peer2 = await new Promise((resolve) => server.once('connection', resolve));
  const theirsTime = await latency(theirs, peer2);
  theirs.destroy();
  peer.destroy();
  peer2.destroy();
  server.close();
  console.log(`ROW Node.js: peer's write to the package's data event, median µs|${oursTime.toFixed(0)}|-`);
  console.log(`ROW Node.js: peer's write to net's data event, median µs|${theirsTime.toFixed(0)}|-`);
  console.log(`ROW Node.js: package / net event latency|${(oursTime / theirsTime).toFixed(2)}|<= 1.5`);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
