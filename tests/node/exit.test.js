'use strict';
// A Node.js process that used the package ends by itself once every
// endpoint is closed, and at once on process.exit() with calls under way.
// A child that stays alive fails its test in seconds (node.exe starts in
// about two under Wine), not at the run's time limit.
const test = require('node:test');
const assert = require('assert');
const { spawn } = require('child_process');
const { within } = require('./common');

function run(mode) {
  const child = spawn(process.execPath, [__filename, mode], { stdio: 'ignore' });
  return within(new Promise((resolve) => child.on('exit', (code) => resolve(code))), 20000,
    `a process that ${mode === 'close' ? 'closed every endpoint' : 'called process.exit()'} to end`)
    .finally(() => child.kill());
}

async function child(mode) {
  const { quorvel, peer } = require('./common');
  const server = quorvel.listen({ host: '127.0.0.1' });
  const accepted = new Promise((resolve) => server.once('connection', resolve));
  const client = await quorvel.connect({ port: server.address().port, timeout: 5000 });
  const connection = await accepted;
  const udp = quorvel.bindUdp();
  await udp.send('x', udp.address().port);
  const bye = await quorvel.connect({ port: peer().close, timeout: 5000 });
  bye.on('data', () => {});  // the peer closes it: it closes itself
  if (mode === 'exit') {
    client.write(Buffer.alloc(64 << 20));  // blocks: nobody reads at the other end
    setTimeout(() => process.exit(7), 500);
    return;
  }
  await new Promise((resolve) => connection.on('data', resolve) && client.write('hello'));
  for (const endpoint of [client, connection, udp, server]) endpoint.close();
}

if (process.argv[2]) {
  child(process.argv[2]).catch((err) => {
    console.error(err);
    process.exit(1);
  });
} else {
  test('a process ends by itself once every endpoint is closed', async () => {
    assert.strictEqual(await run('close'), 0);
  });
  test('process.exit() ends a process with a write under way', async () => {
    assert.strictEqual(await run('exit'), 7);
  });
}
