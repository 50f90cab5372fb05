'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/native/addon');
const { scratch } = require('./helpers');

const wrongCount = { name: 'TypeError', message: 'Wrong number of arguments' };
const wrongArgs = { name: 'TypeError', message: 'Wrong arguments' };

test('the module is the five functions, in order, and nothing else; the library has an entry of its own', () => {
  assert.deepEqual(Object.keys(addon), ['read', 'readAndSync2', 'readConfig', 'writeConfig', 'readConfigDeviceId']);
  for (const name of Object.keys(addon)) assert.equal(addon[name].name, name);
  const entry = require('../../lib/native/addon-path').loadNative();
  require('../../lib/native/entry');  // hands the entry its error class
  assert.ok(!Object.keys(entry).some((name) => Object.keys(addon).includes(name)));
  // Its errors are the class the library handed it, with a code.
  assert.throws(() => entry.fileStem(5), { name: 'KinovarError', code: 'ERR_KINOVAR_INTERNAL' });
});

test('argument checks throw TypeError before touching any file', (t) => {
  const dir = scratch(t);
  const csv = path.join(dir, 'out.csv');
  assert.throws(() => addon.read('x'), wrongCount);
  assert.throws(() => addon.read('x', 1), wrongArgs);
  assert.throws(() => addon.read(new String('x'), csv), wrongArgs);
  assert.throws(() => addon.readAndSync2('x', dir), wrongArgs);
  assert.throws(() => addon.readAndSync2([csv, 2], dir), wrongArgs);
  assert.throws(() => addon.readAndSync2([]), wrongCount);
  assert.throws(() => addon.readConfig(), wrongCount);
  assert.throws(() => addon.readConfig(new String('x')), wrongArgs);
  assert.throws(() => addon.writeConfig(csv), wrongCount);
  assert.throws(() => addon.writeConfig(csv, 5), wrongArgs);
  assert.throws(() => addon.readConfigDeviceId(null), wrongArgs);
  assert.deepEqual(fs.readdirSync(dir), []);
});

test('our error codes are one list: lib/errors.js, index.d.ts and the README table agree', () => {
  const { codes } = require('../../lib/errors');
  const root = path.join(__dirname, '..', '..');
  const declared = Object.fromEntries([...fs.readFileSync(path.join(root, 'lib', 'index.d.ts'), 'utf8')
    .match(/const codes: Readonly<\{([^}]*)\}>/)[1].matchAll(/(\w+): '([\w]+)'/g)].map((m) => [m[1], m[2]]));
  assert.deepEqual(declared, { ...codes });
  const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
  const table = readme.slice(readme.indexOf('## Error codes'), readme.indexOf('\n## ', readme.indexOf('## Error codes') + 1));
  const documented = [...table.matchAll(/`((?:ERR_KINOVAR|ABORT)_\w+)`/g)].map((m) => m[1]);
  assert.deepEqual(documented.sort(), Object.values(codes).sort());
  // Every code the sources throw, in any language, is in the list.
  const thrown = new Set();
  for (const folder of ['lib', 'bin', 'src', 'python']) {
    const dir = path.join(root, folder);
    if (!fs.existsSync(dir)) continue;
    for (const file of fs.readdirSync(dir, { recursive: true })) {
      if (!/\.(js|cpp|h|py|pyi)$/.test(file) || file.endsWith('index.d.ts')) continue;
      for (const m of fs.readFileSync(path.join(dir, file), 'utf8').matchAll(/ERR_KINOVAR_[A-Z_]*[A-Z]/g)) thrown.add(m[0]);
    }
  }
  assert.deepEqual([...thrown].filter((code) => !Object.values(codes).includes(code)), []);
});

test('lib/ has no require loop, even through requires inside functions, and needs only run-time packages', () => {
  const dir = path.join(__dirname, '..', '..', 'lib');
  const graph = new Map(fs.readdirSync(dir, { recursive: true }).filter((f) => f.endsWith('.js')).map((file) => [file,
    [...fs.readFileSync(path.join(dir, file), 'utf8').matchAll(/require\(\s*['"](\.\.?\/[\w./-]+?)(?:\.js)?['"]\s*\)/g)]
      .map((m) => `${path.join(path.dirname(file), m[1])}.js`)]));
  // An install may leave out optional packages (cmake-js builds from source) and dev ones.
  const { dependencies } = require('../../package.json');
  const sources = (folder) => fs.readdirSync(folder, { recursive: true }).filter((f) => f.endsWith('.js'))
    .map((f) => [f, fs.readFileSync(path.join(folder, f), 'utf8')]);
  for (const [file, text] of [...sources(dir), ...sources(path.join(dir, '..', 'bin'))]) {
    for (const [, name] of text.matchAll(/(?:require|require\.resolve|import)\(\s*['"]((?:@[\w.-]+\/)?[\w-][\w.-]*)[^'"]*['"]/g)) {
      assert.ok(name === 'node' || Object.hasOwn(dependencies, name), `${file} requires ${name}, not a run-time dependency`);
    }
  }
  const done = new Set();
  const visit = (file, trail) => {
    assert.ok(!trail.includes(file), `require loop: ${[...trail, file].join(' -> ')}`);
    if (done.has(file)) return;
    for (const next of graph.get(file) ?? []) visit(next, [...trail, file]);
    done.add(file);
  };
  for (const file of graph.keys()) visit(file, []);
});

test('functions stay within 80 lines in src/, lib/ and bin/, counted by braces that comments and literals do not fool', () => {
  const { longFunctions, functionsOf } = require('../../scripts/function-lengths');
  const body = (n) => Array.from({ length: n }, (_, i) => `  x += ${i}; // }`).join('\n');
  const cpp = `int shortOne() {\n  const char* s = "}}";\n  if (s) { return '}'; }\n}\nint longOne(int a) const {\n${body(79)}\n}\n`;
  assert.deepEqual(functionsOf(cpp, false).map((f) => [f.name, f.lines]), [['shortOne', 4], ['longOne', 81]]);
  const js = `const f = (a) => {\n  const r = /[{]/.test(a) ? \`\${a}}\` : '{';\n  for (const c of a) { r; }\n};\nclass A {\n  m() {\n  }\n}\n`;
  assert.deepEqual(functionsOf(js, true).map((f) => [f.name, f.lines]), [['f', 4], ['m', 2]]);
  const root = path.join(__dirname, '..', '..');
  const long = longFunctions(['src', 'python/src', 'lib', 'bin'].map((folder) => path.join(root, folder)))
    .map((f) => `${path.relative(root, f.file)}:${f.line} ${f.name} (${f.lines})`);
  assert.deepEqual(long, []);
});

test('src/ includes only downward, from the bindings to io/, with no circle between its rooms', () => {
  const floors = [['io'], ['model'], ['reader', 'settings', 'epochs'], ['calibration', 'orientation'], ['sync'], ['export'],
    ['view'], ['ops'], ['bindings-js']];
  const floor = new Map(floors.flatMap((rooms, i) => rooms.map((room) => [room, i])));
  const src = path.join(__dirname, '..', '..', 'src');
  const arrows = new Set();
  for (const file of fs.readdirSync(src, { recursive: true }).filter((f) => /\.(h|cpp)$/.test(f))) {
    const room = file.split(path.sep)[0];
    assert.ok(floor.has(room), `${room}/ has no floor`);
    for (const [, to] of fs.readFileSync(path.join(src, file), 'utf8').matchAll(/^#include "([\w-]+)\//gm)) {
      assert.ok(floor.get(to) <= floor.get(room), `${file} includes ${to}/, a floor above it`);
      if (to !== room) arrows.add(`${room}>${to}`);
    }
  }
  // Rooms of one floor may include one another one way only.
  for (const arrow of arrows) assert.ok(!arrows.has(arrow.split('>').reverse().join('>')), `${arrow} both ways`);
});

test('recognising an output of ours loads no Parquet decoder', (t) => {
  const file = path.join(scratch(t), 'ours.parquet');
  // Only what recognition reads: the magic at both ends and our format's name in the footer.
  fs.writeFileSync(file, Buffer.from('PAR1\0\0\0\0kinovar.format\0kinovar table 1\0\0\0\0PAR1', 'latin1'));
  const { checkReplaceable } = require('../../lib');
  assert.equal(checkReplaceable(file, 'parquet').kind, 'output');
  const loaded = Object.keys(require.cache).filter((f) => /apache-arrow|parquet-wasm/.test(f));
  assert.deepEqual(loaded, []);
});

test('the ESM entry gives every public name, to Node and to TypeScript with module nodenext', async () => {
  // The package by its own name, through its exports, as an application imports it.
  const esm = await import('kinovar');
  const cjs = require('../../lib');
  assert.equal(require('kinovar'), cjs);
  assert.equal(esm.default, cjs);
  assert.deepEqual(Object.keys(esm).filter((name) => name !== 'default').sort(), Object.keys(cjs).sort(),
    'lib/index.mjs lists every public name of lib/index.js, and no other');
  for (const name of Object.keys(cjs)) assert.equal(esm[name], cjs[name], name);

  const ts = require('@tsd/typescript');
  const program = ts.createProgram([path.join(__dirname, '..', 'types', 'esm.mts')], {
    module: ts.ModuleKind.NodeNext, moduleResolution: ts.ModuleResolutionKind.NodeNext, strict: true, noEmit: true,
    types: ['node'], skipLibCheck: true,
  });
  assert.deepEqual(ts.getPreEmitDiagnostics(program).map((d) => ts.flattenDiagnosticMessageText(d.messageText, '\n')), []);
});
