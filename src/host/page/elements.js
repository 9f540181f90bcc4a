// What the host asks of an element before it acts on it: which control it
// stands for, whether it is visible, enabled and still, and whether a press
// at a point would reach it.

// A part of a button or link acts as that control.
function controlOf(el) {
  if (el.matches('input, textarea, select') || el.isContentEditable) return el;
  return el.closest('button, [role=button], a, [role=link]') ?? el;
}

// A label acts as the field it labels.
function fieldOf(el) {
  if (el.matches('a, input, textarea, button, select, option, optgroup, [role=link], [role=button], ' +
                 '[role=checkbox], [role=radio]') || el.isContentEditable) {
    return el;
  }
  return el.closest('label')?.control ?? el;
}

function styleOf(el) {
  return el.ownerDocument.defaultView.getComputedStyle(el);
}

function rangeOf(node) {
  const range = node.ownerDocument.createRange();
  range.selectNodeContents(node);
  return range;
}

const hasArea = (box) => box.width > 0 && box.height > 0;

// The box the element is drawn in, in its own frame's viewport: for an
// element that has none of its own (display: contents), the box around
// what it lays out.
function boxOf(el) {
  return styleOf(el).display === 'contents' ? rangeOf(el).getBoundingClientRect()
                                            : el.getBoundingClientRect();
}

function isVisible(el) {
  const style = styleOf(el);
  if (style.display === 'contents') return hasArea(rangeOf(el).getBoundingClientRect());
  return el.checkVisibility() && style.visibility === 'visible' && hasArea(el.getBoundingClientRect());
}

// The node whose boxes the press aims at: the element, or for one with no
// box of its own the first of its children that has one.
function drawnNode(el) {
  let node = el;
  for (let depth = 0; depth < 64 && node.nodeType === Node.ELEMENT_NODE &&
                      styleOf(node).display === 'contents'; depth++) {
    let next = null;
    for (let child = node.firstChild; child && !next; child = child.nextSibling) {
      if (child.nodeType === Node.TEXT_NODE || child.nodeType === Node.ELEMENT_NODE) {
        if (hasArea(rangeOf(child).getBoundingClientRect()) ||
            (child.nodeType === Node.ELEMENT_NODE && hasArea(boxOf(child)))) {
          next = child;
        }
      }
    }
    if (!next) return node;
    node = next;
  }
  return node;
}

// Roles that aria-disabled applies to, and the implicit roles of the
// elements that carry one of them.
const kAriaDisabledRoles = new Set([
  'application', 'button', 'composite', 'gridcell', 'group', 'input', 'link', 'menuitem',
  'scrollbar', 'separator', 'tab', 'checkbox', 'columnheader', 'combobox', 'grid', 'listbox',
  'menu', 'menubar', 'menuitemcheckbox', 'menuitemradio', 'option', 'radio', 'radiogroup', 'row',
  'rowheader', 'searchbox', 'select', 'slider', 'spinbutton', 'switch', 'tablist', 'textbox',
  'toolbar', 'tree', 'treegrid', 'treeitem',
]);
const kInputRoles = {
  button: 'button', image: 'button', reset: 'button', submit: 'button', file: 'button',
  checkbox: 'checkbox', radio: 'radio', range: 'slider', number: 'spinbutton',
  search: 'searchbox',
};

function ariaRole(el) {
  for (const role of (el.getAttribute('role') ?? '').toLowerCase().split(/\s+/)) {
    if (role) return role;
  }
  switch (el.tagName) {
    case 'A': case 'AREA': return el.hasAttribute('href') ? 'link' : '';
    case 'BUTTON': return 'button';
    case 'INPUT':
      if (el.type === 'hidden') return '';
      return kInputRoles[el.type] ?? (el.hasAttribute('list') ? 'combobox' : 'textbox');
    case 'SELECT': return el.multiple || el.size > 1 ? 'listbox' : 'combobox';
    case 'TEXTAREA': return 'textbox';
    case 'OPTION': return 'option';
    case 'OPTGROUP': case 'FIELDSET': case 'DETAILS': return 'group';
    case 'TR': return 'row';
    case 'TD': return 'gridcell';
    case 'TH': return 'columnheader';
    default: return '';
  }
}

// Disabled by itself, a disabled fieldset or option group around it, or an
// aria-disabled of its own or of the nearest ancestor that says either way.
function isDisabled(el) {
  if (['BUTTON', 'INPUT', 'SELECT', 'TEXTAREA', 'OPTION', 'OPTGROUP'].includes(el.tagName) &&
      el.matches(':disabled')) {
    return true;
  }
  if (!kAriaDisabledRoles.has(ariaRole(el))) return false;
  let node = el;
  for (let depth = 0; node && depth < kMaxDepth; depth++, node = treeParent(node)) {
    if (node.nodeType !== Node.ELEMENT_NODE) continue;
    const value = (node.getAttribute('aria-disabled') ?? '').toLowerCase();
    if (value === 'true') return true;
    if (value === 'false') return false;
  }
  return false;
}

// Properties whose animation leaves every box where it is.
const kStillProperty = /color|opacity|shadow|filter|visibility|cursor|z-?index|^background|^outline/i;
const kKeyframeFields = new Set(['offset', 'computedOffset', 'easing', 'composite']);

function moves(animation) {
  if (animation.playState !== 'running') return false;
  if (typeof animation.transitionProperty === 'string') {
    return !kStillProperty.test(animation.transitionProperty);
  }
  const effect = animation.effect;
  if (!effect || typeof effect.getKeyframes !== 'function') return true;
  for (const frame of effect.getKeyframes()) {
    for (const key of Object.keys(frame)) {
      if (!kKeyframeFields.has(key) && !kStillProperty.test(key)) return true;
    }
  }
  return false;
}

// Whether a running animation moves the element: one of its own, or one of
// an element around it, in its frame or in a frame the frame sits in.
function isMoving(el) {
  let node = el;
  for (let depth = 0; node && depth < kMaxDepth; depth++) {
    if (node.nodeType === Node.ELEMENT_NODE && node.getAnimations().some(moves)) return true;
    const parent = treeParent(node);
    node = parent && parent.nodeType !== Node.DOCUMENT_NODE ? parent
         : (parent ?? node).defaultView?.frameElement ?? null;
  }
  return false;
}

function describe(el) {
  return el.tagName.toLowerCase() +
         (el.id ? '#' + el.id : el.classList.length ? '.' + el.classList[0] : '');
}

// Where a frame's content starts within its parent's viewport, or null when
// the frame or an element around it is transformed, which no offset tells.
function contentOrigin(frame) {
  const view = frame.ownerDocument.defaultView;
  for (let node = frame, depth = 0; node && depth < kMaxDepth; node = treeParent(node), depth++) {
    if (node.nodeType === Node.ELEMENT_NODE && view.getComputedStyle(node).transform !== 'none') {
      return null;
    }
  }
  const box = frame.getBoundingClientRect();
  const style = view.getComputedStyle(frame);
  return [box.left + frame.clientLeft + parseFloat(style.paddingLeft),
          box.top + frame.clientTop + parseFloat(style.paddingTop)];
}

// The innermost element drawn at a point of `doc`'s viewport, through open
// shadow roots.
function elementAt(doc, x, y) {
  let hit = doc.elementFromPoint(x, y);
  for (let depth = 0; hit?.shadowRoot && depth < 64; depth++) {
    const inner = hit.shadowRoot.elementFromPoint(x, y);
    if (!inner || inner === hit) break;
    hit = inner;
  }
  return hit;
}

// Whether a press at (x, y) of `view`'s viewport reaches `target`: the
// element drawn there is the target, inside it (slotted content too), a
// label of it, or the field of a target that is a label; climbing out of
// frames into the ones around them. null when it does; else the unmet
// condition. `descend` follows the point into frames of this origin drawn
// there; a transformed one ends the look, and the point counts as reached.
function pointerMiss(target, view, x, y, descend) {
  let hit = elementAt(view.document, x, y);
  for (let depth = 0; descend && hit && isFrame(hit) && depth < kMaxDocuments; depth++) {
    const doc = frameDocument(hit);
    if (!doc) break;
    const origin = contentOrigin(hit);
    if (!origin) return null;
    x -= origin[0];
    y -= origin[1];
    const inner = elementAt(doc, x, y);
    if (!inner) break;
    hit = inner;
  }
  if (!hit) return unmet('hidden');
  const labelled = target.tagName === 'LABEL' ? target.control : null;
  let node = hit;
  for (let depth = 0; node && depth < kMaxDepth; depth++) {
    if (node === target || (labelled && node === labelled)) return null;
    if (node.tagName === 'LABEL' && node.control === target) return null;
    const parent = composedParent(node);
    node = parent && parent.nodeType !== Node.DOCUMENT_NODE ? parent
         : (parent ?? node).defaultView?.frameElement ?? null;
  }
  return unmet('covered', describe(hit));
}
