// The selector splitter of find.js: where a selector is cut at its descendant
// combinators, so that each part may be matched in a tree of its own.

'use strict';
const test = require('node:test');
const assert = require('node:assert');
const {loadPage} = require('./load.js');

const page = loadPage('TESSIK_PAGE_SCRIPT');

test('splitSelector cuts at descendant combinators only', () => {
  const rows = [
    ['x-card button', ['x-card', 'button']],
    ['body  x-card[id="card"] button', ['body', 'x-card[id="card"]', 'button']],
    // White space at the end closes the last part and adds none.
    ['a b ', ['a', 'b']],
    ['a b\t\n', ['a', 'b']],
    // Other combinators stay within their part.
    ['#card div > button', ['#card', 'div > button']],
    ['a>b c', ['a > b', 'c']],
    ['a ~ b', null],
    // Quotes, brackets, parentheses and escapes hold their spaces.
    ['[title="a b"] c', ['[title="a b"]', 'c']],
    [":is(a b) c", [':is(a b)', 'c']],
    ['a\\ b c', ['a\\ b', 'c']],
    // A list, or a single part, is matched whole.
    ['a b, c', null],
    ['button', null],
    ['', null],
  ];
  for (const [selector, parts] of rows) {
    // Compared as text: the arrays come from the page code's own context.
    assert.strictEqual(JSON.stringify(page.splitSelector(selector)), JSON.stringify(parts),
                       JSON.stringify(selector));
  }
});
