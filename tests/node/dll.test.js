'use strict';
// The package as installed carries quorvel.dll for ia32 and for x64 and
// loads the one of its node.exe's architecture with no file to copy;
// QUORVEL_DLL and load(path) still choose another, and a DLL of the other
// bitness is refused saying so. Run by each architecture's node.exe that
// this machine can start.
const test = require('node:test');
const assert = require('assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');

const installed = path.dirname(require.resolve('quorvel/package.json'));
const own = path.join(installed, 'dll', process.arch, 'quorvel.dll');
const other = path.join(installed, 'dll', process.arch === 'x64' ? 'ia32' : 'x64', 'quorvel.dll');
const MACHINE = { ia32: 0x14c, x64: 0x8664 };

// The machine type in a DLL's PE header.
function machineOf(file) {
  const image = fs.readFileSync(file);
  return image.readUInt16LE(image.readUInt32LE(0x3c) + 4);
}

// What a fresh process loads: the DLL's path after quorvel.version().
function loadedBy(env, code = '') {
  return execFileSync(process.execPath, ['-e', `const q = require('quorvel'); ${code} q.version();
    process.stdout.write(require('quorvel/lib/native').dllPath())`],
  { env: { ...process.env, QUORVEL_DLL: '', ...env }, encoding: 'utf8' });
}

test(`the package loads its own DLL for ${process.arch}; QUORVEL_DLL and load() choose another`, () => {
  for (const arch of ['ia32', 'x64']) {
    assert.strictEqual(machineOf(path.join(installed, 'dll', arch, 'quorvel.dll')), MACHINE[arch], arch);
  }
  const native = require('quorvel/lib/native');
  assert.throws(() => native.load(other), (err) => err.message.includes(`bitness must be that of this Node.js, ${process.arch}`));

  const quorvel = require('quorvel');
  assert.match(quorvel.version(), /^\d+\.\d+\.\d+$/);
  assert.strictEqual(native.dllPath().toLowerCase(), own.toLowerCase());

  const copy = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'quorvel-')), 'quorvel.dll');
  fs.copyFileSync(own, copy);
  try {
    assert.strictEqual(loadedBy({ QUORVEL_DLL: copy }).toLowerCase(), copy.toLowerCase());
    assert.strictEqual(loadedBy({ QUORVEL_DLL: other }, `q.load(${JSON.stringify(copy)});`).toLowerCase(),
      copy.toLowerCase());
  } finally {
    fs.rmSync(path.dirname(copy), { recursive: true, force: true });
  }
});
