// Finding the element a selector names: in the document, then in its open
// shadow roots (where a descendant combinator also reaches through a shadow
// host), then in the documents of same-origin frames, each in document order.
// Frames of another origin cannot be looked into from here: they are listed,
// in the order met, for the host to look into in their own worlds.

const kMaxDocuments = 64;
const kMaxRoots = 4096;
const kMaxDepth = 4096;

const isFrame = (el) => el.tagName === 'IFRAME' || el.tagName === 'FRAME';

// The document of a frame of this origin; null for another origin.
function frameDocument(frame) {
  try {
    return frame.contentDocument;
  } catch (e) {
    return null;
  }
}

// The parent in the tree the page is drawn from: a slotted node's slot, a
// shadow root's host, else the parent node.
function composedParent(node) {
  if (node.assignedSlot) return node.assignedSlot;
  const parent = node.parentNode;
  if (parent && parent.nodeType === Node.DOCUMENT_FRAGMENT_NODE && parent.host) return parent.host;
  return parent;
}

// The parent across shadow roots, ignoring slots: where an element's own
// tree takes it.
function treeParent(node) {
  const parent = node.parentNode;
  if (parent && parent.nodeType === Node.DOCUMENT_FRAGMENT_NODE && parent.host) return parent.host;
  return parent;
}

const isSpace = (c) => c === ' ' || c === '\t' || c === '\n' || c === '\r' || c === '\f';

// A selector split at its descendant combinators, so that they may cross
// shadow boundaries ("x-card button"); null for a list or a single part.
function splitSelector(sel) {
  const out = [];
  let part = '';
  let depth = 0;
  let quote = '';
  for (let i = 0; i < sel.length; i++) {
    const c = sel[i];
    if (c === '\\') {
      part += c + (sel[++i] ?? '');
      continue;
    }
    if (quote) {
      part += c;
      if (c === quote) quote = '';
      continue;
    }
    if (c === '"' || c === "'") {
      quote = c;
      part += c;
      continue;
    }
    if (c === '(' || c === '[') depth++;
    if (c === ')' || c === ']') depth--;
    if (depth !== 0) {
      part += c;
      continue;
    }
    if (c === ',') return null;
    if (isSpace(c) || '>+~'.includes(c)) {
      let j = i;
      while (j < sel.length && isSpace(sel[j])) j++;
      if (j < sel.length && '>+~'.includes(sel[j])) {
        // Any other combinator stays within its part.
        part += ' ' + sel[j] + ' ';
        j++;
        while (j < sel.length && isSpace(sel[j])) j++;
      } else if (part) {
        out.push(part);
        part = '';
      }
      i = j - 1;
      continue;
    }
    part += c;
  }
  if (part) out.push(part);
  return out.length > 1 ? out : null;
}

// The first element that `sel` names, or null with the frames of other
// origins met on the way.
function findElement(selector) {
  const sel = selector.trim();
  const parts = splitSelector(sel);
  // The last part matches the element, the others its ancestors in order,
  // through shadow hosts.
  const pierces = (el) => {
    let k = parts.length - 2;
    let node = treeParent(el);
    for (let i = 0; k >= 0 && node && i < kMaxDepth; i++, node = treeParent(node)) {
      if (node.nodeType === Node.ELEMENT_NODE && node.matches(parts[k])) k--;
    }
    return k < 0;
  };
  const query = (root, shadow) => {
    if (!shadow || !parts) return root.querySelector(sel);
    for (const el of root.querySelectorAll(parts[parts.length - 1])) {
      if (pierces(el)) return el;
    }
    return null;
  };
  const frames = [];
  const docs = [document];
  for (let d = 0; d < docs.length && d < kMaxDocuments; d++) {
    const roots = [docs[d]];
    for (let r = 0; r < roots.length && r < kMaxRoots; r++) {
      const hit = query(roots[r], r > 0);
      if (hit) return {element: hit, frames};
      for (const el of roots[r].querySelectorAll('*')) {
        if (el.shadowRoot) roots.push(el.shadowRoot);
        if (isFrame(el)) {
          const doc = frameDocument(el);
          if (doc) {
            docs.push(doc);
          } else {
            frames.push(el);
          }
        }
      }
    }
  }
  return {element: null, frames};
}
