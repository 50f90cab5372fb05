#!/usr/bin/env node
'use strict';
// Lists the functions longer than a limit in C++ and JavaScript sources:
//   node scripts/function-lengths.js [--limit 80] [folder-or-file ...]
// Exits 1 when any is found. A scan of braces, not a parser: comments and
// string, character and regular expression literals are blanked first so
// that their braces do not count; a brace opens a function when what stands
// before it is a parameter list (not an if/for/while/switch/catch) or `=>`.
// A function's length runs from its header's first line to its closing brace.

const fs = require('node:fs');
const path = require('node:path');

const SOURCE = /\.(c|cc|cpp|h|hpp|js|mjs|cjs)$/;
const CONTROL = new Set(['if', 'for', 'while', 'switch', 'catch', 'return', 'sizeof', 'decltype', 'alignof', 'noexcept',
  'static_assert', 'defined', 'with', 'function']);
// Words that may follow a parameter list before the body.
const AFTER = /(\s*(const|override|final|noexcept|mutable|volatile|&&?|->\s*[\w:<>,\s*&]+?|\bthrow\s*\(\s*\)))*\s*$/;

// The text with every comment and literal replaced by spaces (newlines kept).
function blank(text, javascript) {
  let out = '';
  let i = 0;
  const n = text.length;
  const spaces = (s) => s.replace(/[^\n]/g, ' ');
  let last = ''; // the last significant character, to tell a division from a regular expression
  while (i < n) {
    const c = text[i], d = text[i + 1];
    let end = -1;
    if (c === '/' && d === '/') {
      end = text.indexOf('\n', i);
      if (end < 0) end = n;
    } else if (c === '/' && d === '*') {
      end = text.indexOf('*/', i + 2);
      end = end < 0 ? n : end + 2;
    } else if (!javascript && c === 'R' && d === '"' && !/\w/.test(text[i - 1] ?? '')) {
      const open = text.indexOf('(', i);
      const close = `)${text.slice(i + 2, open)}"`;
      end = text.indexOf(close, open);
      end = end < 0 ? n : end + close.length;
    } else if (c === '"' || c === '`' || (c === "'" && (javascript || !/[0-9a-fA-F]/.test(text[i - 1] ?? '')))) {
      end = i + 1;
      while (end < n && text[end] !== c) end += text[end] === '\\' ? 2 : 1;
      end = Math.min(end + 1, n);
    } else if (javascript && c === '/' && (last === '' || /[(,=:[!&|?{};+\-*%<>~^]/.test(last))) {
      end = i + 1;
      let inClass = false;
      while (end < n && text[end] !== '\n' && (inClass || text[end] !== '/')) {
        if (text[end] === '[') inClass = true;
        else if (text[end] === ']') inClass = false;
        end += text[end] === '\\' ? 2 : 1;
      }
      end = Math.min(end + 1, n);
    }
    if (end >= 0) {
      out += c === '/' && (d === '/' || d === '*') ? spaces(text.slice(i, end)) : c + spaces(text.slice(i + 1, end - 1)) + c;
      if (!(c === '/' && (d === '/' || d === '*'))) last = 'x';
      i = end;
      continue;
    }
    out += c;
    if (!/\s/.test(c)) last = c;
    i += 1;
  }
  return out;
}

// The name of the function whose header ends just before `at`, or null when the brace opens no function.
function functionName(code, at) {
  const before = code.slice(Math.max(0, at - 2000), at);
  if (/=>\s*$/.test(before)) {
    const m = /(?:([\w$]+)\s*[=:]\s*)?(?:async\s*)?(?:\([^()]*\)|[\w$]+)\s*=>\s*$/.exec(before);
    return m?.[1] ?? '(arrow)';
  }
  const header = before.replace(AFTER, '');
  if (!header.endsWith(')')) return null;
  let depth = 0, j = header.length - 1;
  for (; j >= 0; j--) {
    if (header[j] === ')') depth++;
    else if (header[j] === '(' && --depth === 0) break;
  }
  if (j < 0) return null;
  const m = /([\w$~]+(?:::[\w$~]+)*|operator\s*\S+)\s*(?:<[^<>]*>)?\s*$/.exec(header.slice(0, j));
  if (!m) return '(lambda)';
  const name = m[1];
  if (CONTROL.has(name)) return null;
  return name;
}

// [{name, line, lines}] of the functions of one source text.
function functionsOf(text, javascript) {
  const code = blank(text, javascript);
  const lineAt = [];
  for (let i = 0, line = 1; i <= code.length; i++) {
    lineAt.push(line);
    if (code[i] === '\n') line++;
  }
  const found = [];
  const stack = [];
  for (let i = 0; i < code.length; i++) {
    if (code[i] === '{') {
      const name = functionName(code, i);
      // The header starts after the last statement's end or block's brace.
      let start = i;
      if (name !== null) {
        const cut = Math.max(code.lastIndexOf(';', i - 1), code.lastIndexOf('}', i - 1), code.lastIndexOf('{', i - 1));
        start = cut + 1;
        while (/\s/.test(code[start]) && start < i) start++;
      }
      stack.push({ name, start });
    } else if (code[i] === '}') {
      const open = stack.pop();
      if (open?.name != null) {
        found.push({ name: open.name, line: lineAt[open.start], lines: lineAt[i] - lineAt[open.start] + 1 });
      }
    }
  }
  return found;
}

function* sources(target) {
  const stat = fs.statSync(target);
  if (stat.isFile()) {
    if (SOURCE.test(target)) yield target;
    return;
  }
  for (const entry of fs.readdirSync(target, { withFileTypes: true }).sort((a, b) => a.name.localeCompare(b.name))) {
    if (entry.name === 'node_modules' || entry.name.startsWith('.')) continue;
    yield* sources(path.join(target, entry.name));
  }
}

/** [{file, name, line, lines}] of the functions over `limit` lines under the targets. */
function longFunctions(targets, limit = 80) {
  const long = [];
  for (const target of targets) {
    for (const file of sources(target)) {
      const javascript = /\.[cm]?js$/.test(file);
      for (const f of functionsOf(fs.readFileSync(file, 'utf8'), javascript)) {
        if (f.lines > limit) long.push({ file, ...f });
      }
    }
  }
  return long;
}

module.exports = { longFunctions, functionsOf };

if (require.main === module) {
  const args = process.argv.slice(2);
  let limit = 80;
  const at = args.indexOf('--limit');
  if (at >= 0) [, limit] = args.splice(at, 2).map(Number);
  const long = longFunctions(args.length ? args : ['src'], limit);
  for (const f of long) console.log(`${f.file}:${f.line}: ${f.name} has ${f.lines} lines (limit ${limit})`);
  process.exitCode = long.length ? 1 : 0;
}
