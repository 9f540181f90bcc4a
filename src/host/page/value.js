// The value of an eval result as JSON.stringify would give it, worked out in
// the page's own world, where the value lives: the host calls this function
// on the result with the result as `this`, and it answers a copy made only of
// what JSON holds (null, booleans, finite numbers, strings, arrays, plain
// objects), which the browser then sends as it is. toJSON is honoured at any
// depth, so a Date is its ISO text, a URL its href, a DOMRect its fields.
// Where JSON.stringify would lose the value, the copy keeps a useful form: a
// Map is its [key, value] pairs, a Set its values, an array-like list of the
// DOM (NodeList, HTMLCollection, ...) an array, a DOM node a short
// description such as "p#intro.lead", and a BigInt its text with an "n", as
// the host shows one at the top. A cycle throws "the result holds a cycle".
//
// It runs whole on each call, self-contained, and takes nothing from the
// page's globals that the page may have replaced (JSON among them) except
// what it cannot do without. The walk keeps its own stack, so no depth of
// nesting overflows the page's; the browser's own limit on what it sends
// still applies to the copy.
function jsonValue() {
  'use strict';
  // What JSON leaves out of an object, and writes as null in an array.
  const leftOut = {};
  const tagOf = (value) => Object.prototype.toString.call(value);
  // Brand checks: they hold for values of other frames too, and a page's
  // own objects cannot pass them by their looks.
  const branded = (method, value) => {
    try {
      method.call(value);
      return true;
    } catch (e) {
      return false;
    }
  };
  // Node's nodeType getter, found from the document, which a page cannot
  // replace as it can the global Node.
  const nodeTypeGetter = (() => {
    let proto = typeof document === 'object' && document !== null ? document : null;
    for (; proto; proto = Object.getPrototypeOf(proto)) {
      const getter = Object.getOwnPropertyDescriptor(proto, 'nodeType')?.get;
      if (getter) return getter;
    }
    return undefined;
  })();
  const nodeTypeOf = (value) => {
    if (!nodeTypeGetter) return 0;
    try {
      return nodeTypeGetter.call(value);
    } catch (e) {
      return 0;
    }
  };

  const shortened = (text) => {
    if (text.length <= 40) return text;
    // Not between the halves of a character pair.
    const end = /[\uD800-\uDBFF]/.test(text[39]) ? 39 : 40;
    return text.slice(0, end) + '\u2026';
  };
  // "p#intro.lead" for an element; the node's name for the others, with
  // the start of its text, on one line, for text and comments.
  const describe = (node, type) => {
    switch (type) {
      case 1: {
        let text = node.localName;
        if (node.id) text += '#' + node.id;
        for (const name of node.classList ?? []) text += '.' + name;
        return text;
      }
      case 2: return node.name + '="' + shortened(node.value) + '"';
      case 3:
      case 4:
      case 8: return node.nodeName + ' "' + shortened(node.data.replace(/\s+/g, ' ')) + '"';
      case 10: return '<!DOCTYPE ' + node.name + '>';
      default: return node.nodeName;
    }
  };

  // The primitive inside a Number, String, Boolean or BigInt object.
  const kWrapped = {
    '[object Number]': Number.prototype.valueOf,
    '[object String]': String.prototype.valueOf,
    '[object Boolean]': Boolean.prototype.valueOf,
    '[object BigInt]': BigInt.prototype.valueOf,
  };
  const unwrapped = (value) => {
    const valueOf = kWrapped[tagOf(value)];
    return valueOf && branded(valueOf, value) ? valueOf.call(value) : value;
  };

  // A container still to be filled: `out` gets the JSON form of each of
  // `length` members, read by `get` and named for toJSON by `key`.
  const listFrame = (source, values, length) => {
    const out = [];
    return {
      source, out, length, index: 0,
      get: (i) => values[i],
      key: (i) => String(i),
      put: (i, value) => { out.push(value === leftOut ? null : value); },
    };
  };
  const frameOf = (value) => {
    const tag = tagOf(value);
    if (Array.isArray(value)) return listFrame(value, value, value.length);
    if (tag === '[object Map]' && branded(Map.prototype.keys, value)) {
      const flat = [];
      Map.prototype.forEach.call(value, (v, k) => { flat.push(k, v); });
      const frame = listFrame(value, flat, flat.length);
      let pair = null;
      frame.key = (i) => String(i % 2);
      frame.put = (i, member) => {
        const item = member === leftOut ? null : member;
        if (i % 2 === 0) {
          pair = [item];
          frame.out.push(pair);
        } else {
          pair.push(item);
        }
      };
      return frame;
    }
    if (tag === '[object Set]' && branded(Set.prototype.values, value)) {
      const members = [];
      Set.prototype.forEach.call(value, (v) => { members.push(v); });
      return listFrame(value, members, members.length);
    }
    if (tag !== '[object Object]' && typeof value.item === 'function' &&
        typeof value.length === 'number' && !Object.hasOwn(value, 'length')) {
      // A list of the platform's: its members by index.
      return listFrame(value, value, value.length);
    }
    const keys = Object.keys(value);
    const out = Object.create(null);
    return {
      source: value, out, length: keys.length, index: 0,
      get: (i) => value[keys[i]],
      key: (i) => keys[i],
      put: (i, member) => {
        if (member !== leftOut) out[keys[i]] = member;
      },
    };
  };

  const frames = [];
  const path = new Set();  // the containers around the member being read
  // The JSON form of `value`, found under `key`; a container comes back
  // empty, with a frame on the stack to fill it.
  const convert = (value, key) => {
    if ((typeof value === 'object' && value !== null) || typeof value === 'function' ||
        typeof value === 'bigint') {
      const toJSON = value.toJSON;
      if (typeof toJSON === 'function') value = toJSON.call(value, key);
    }
    if (typeof value === 'object' && value !== null) value = unwrapped(value);
    switch (typeof value) {
      case 'string':
      case 'boolean': return value;
      case 'number': return Number.isFinite(value) ? value + 0 : null;
      case 'bigint': return value + 'n';
      case 'object': break;
      default: return leftOut;
    }
    if (value === null) return null;
    if (!Array.isArray(value) && tagOf(value) !== '[object Object]') {
      const type = nodeTypeOf(value);
      if (type) return describe(value, type);
    }
    if (path.has(value)) throw 'the result holds a cycle';
    const frame = frameOf(value);
    path.add(value);
    frames.push(frame);
    return frame.out;
  };

  const result = convert(this, '');
  while (frames.length > 0) {
    const frame = frames[frames.length - 1];
    if (frame.index >= frame.length) {
      frames.pop();
      path.delete(frame.source);
      continue;
    }
    const i = frame.index++;
    frame.put(i, convert(frame.get(i), frame.key(i)));
  }
  return result === leftOut ? undefined : result;
}
