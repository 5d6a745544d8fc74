// SPDX-License-Identifier: MIT
// Parses every Mermaid block of the Markdown files given with Mermaid's own
// parser, as a forge renders them; names each file's blocks and fails on any
// block that does not parse.
import { JSDOM } from 'jsdom';
import { readFileSync } from 'fs';

const dom = new JSDOM('<!doctype html><html><body></body></html>');
globalThis.window = dom.window;
globalThis.document = dom.window.document;
const { default: mermaid } = await import('mermaid');

let failed = false;
for (const file of process.argv.slice(2)) {
  const blocks = [...readFileSync(file, 'utf8').matchAll(/```mermaid\n([\s\S]*?)```/g)];
  for (const [index, [, block]] of blocks.entries()) {
    try {
      await mermaid.parse(block);
      console.log(`mermaid: ${file}, block ${index + 1}: parses`);
    } catch (error) {
      failed = true;
      const said = String(error.message || error).split('\n').slice(0, 3).join(' ');
      console.log(`mermaid: ${file}, block ${index + 1}: ${said}`);
    }
  }
}
process.exit(failed ? 1 : 0);
