// value.js: the JSON form of an eval result, by JSON.stringify's rules with
// the useful forms of what JSON loses. Every value is made in the page
// code's own context, as in a page, with a stand-in for the DOM's nodes and
// lists that checks its brand as the browser's does.

'use strict';
const test = require('node:test');
const assert = require('node:assert');
const vm = require('node:vm');
const {loadPage} = require('./load.js');

const page = loadPage('TESSIK_VALUE_FUNCTION', {URL});
vm.runInContext(`
  class Node {
    #type;
    constructor(type, name) { this.#type = type; this.nodeName = name; }
    get nodeType() { return this.#type; }
    // As on the platform's objects: "[object HTMLParagraphElement]" and the like.
    get [Symbol.toStringTag]() { return this.constructor.name; }
  }
  class Document extends Node { constructor() { super(9, '#document'); } }
  class Element extends Node {
    constructor(name, id = '', classes = []) {
      super(1, name.toUpperCase());
      Object.assign(this, {localName: name, id, classList: classes});
    }
  }
  class Text extends Node { constructor(data) { super(3, '#text'); this.data = data; } }
  class NodeList {
    #items;
    constructor(items) { this.#items = items; items.forEach((item, i) => { this[i] = item; }); }
    get length() { return this.#items.length; }
    item(i) { return this.#items[i] ?? null; }
    get [Symbol.toStringTag]() { return 'NodeList'; }
  }
  var document = new Document();
  // A look-alike: its node type is not the brand's.
  var fake = {nodeType: 1, localName: 'p', id: 'x', classList: []};
  var paragraph = new Element('p', 'intro', ['lead', 'wide']);
  var list = new NodeList([paragraph, new Element('span'), new Text('  hello\\n')]);
  var ring = {name: 'ring'};
  ring.self = ring;
`, page);

// The value of `expression` as its JSON text, or what converting it threw.
function valueOf(expression) {
  try {
    const value = vm.runInContext(`jsonValue.call(${expression})`, page);
    return value === undefined ? 'undefined' : JSON.stringify(value);
  } catch (thrown) {
    return 'threw ' + String(thrown);
  }
}

test('values by the rules of JSON.stringify', () => {
  const rows = [
    // What JSON holds stays as it is.
    ['({b: [1, "x", null, true], a: {}})', '{"b":[1,"x",null,true],"a":{}}'],
    ['[[[]]]', '[[[]]]'],
    // toJSON at any depth: dates, URLs, the page's own.
    ['new Date(0)', '"1970-01-01T00:00:00.000Z"'],
    ['({when: new Date(0), at: [new URL("http://a.test/b?c")]})',
     '{"when":"1970-01-01T00:00:00.000Z","at":["http://a.test/b?c"]}'],
    ['new Date(NaN)', 'null'],
    ['({toJSON(key) { return "called with " + JSON.stringify(key); }})', '"called with \\"\\""'],
    ['({a: {toJSON(key) { return key; }}, b: [{toJSON(key) { return key; }}]})', '{"a":"a","b":["0"]}'],
    // What JSON leaves out of objects, and writes as null in arrays.
    ['({u: undefined, f() {}, s: Symbol("s"), [Symbol("k")]: 1, n: NaN, i: -Infinity})',
     '{"n":null,"i":null}'],
    ['[undefined, () => 1, Symbol("s")]', '[null,null,null]'],
    ['() => 1', 'undefined'],
    ['({toJSON() {}})', 'undefined'],
    ['[-0, 1e21, 0.5]', '[0,1e+21,0.5]'],
    // Wrapped primitives are their primitives.
    ['[new Number(3), new String("s"), new Boolean(false)]', '[3,"s",false]'],
    // What JSON would lose keeps a useful form.
    ['[10n, Object(7n), {big: 2n ** 70n}]', '["10n","7n",{"big":"1180591620717411303424n"}]'],
    ['new Map([[1, "one"], [{k: new Date(0)}, new Set([2])], ["u", undefined]])',
     '[[1,"one"],[{"k":"1970-01-01T00:00:00.000Z"},[2]],["u",null]]'],
    ['new Set(["a", ["b"], new Map()])', '["a",["b"],[]]'],
    ['paragraph', '"p#intro.lead.wide"'],
    ['({first: list[0], all: list})', '{"first":"p#intro.lead.wide","all":["p#intro.lead.wide","span","#text \\" hello \\""]}'],
    ['document', '"#document"'],
    ['fake', '{"nodeType":1,"localName":"p","id":"x","classList":[]}'],
    // Own keys only, __proto__ among them.
    ['JSON.parse(\'{"__proto__": 1, "x": 2}\')', '{"__proto__":1,"x":2}'],
    ['Object.create({inherited: 1}, {own: {value: 2, enumerable: true}})', '{"own":2}'],
    // The same object twice is no cycle; an object inside itself is.
    ['(() => { const o = {v: 1}; return [o, {o}]; })()', '[{"v":1},{"o":{"v":1}}]'],
    ['ring', 'threw the result holds a cycle'],
    ['[new Map([["m", ring]])]', 'threw the result holds a cycle'],
    ['(() => { const s = new Set(); s.add(s); return s; })()', 'threw the result holds a cycle'],
    // A toJSON or getter that throws ends it with its own error.
    ['({get bad() { throw new RangeError("no"); }})', 'threw RangeError: no'],
  ];
  for (const [expression, json] of rows) {
    assert.strictEqual(valueOf(expression), json, expression);
  }
});

test('works without the page\'s JSON, and at any depth', () => {
  vm.runInContext('var savedJSON = JSON; JSON = null;', page);
  try {
    assert.strictEqual(valueOf('({abc: [123]})'), '{"abc":[123]}');
  } finally {
    vm.runInContext('JSON = savedJSON;', page);
  }
  // Far deeper than the page's stack allows a recursive walk.
  const deep = vm.runInContext(
      'jsonValue.call((() => { let v = 1; for (let i = 0; i < 200000; i++) v = [v]; return v; })())',
      page);
  let depth = 0;
  for (let v = deep; Array.isArray(v); v = v[0]) depth++;
  assert.strictEqual(depth, 200000);
});
