// The text of an element as a person sees it, by the rules of innerText
// (only what is drawn; blocks on lines of their own, paragraphs apart by an
// empty line, table cells by tabs; white space as the layout collapses it),
// followed through open shadow roots in the order they are drawn: a shadow
// host shows its shadow tree, and a slot the nodes assigned to it, in its
// place. Where no open shadow root is inside the element, the browser's own
// innerText answers, so the text of a page without components is exactly
// what it gives.
//
// Self-contained: it runs in the host's world as part of the page code, and
// alone in the page's world for the text of the whole page.
function visibleText(root) {
  'use strict';
  root = root ?? document.body ?? document.documentElement;
  if (!root) return '';
  const native = (el) => (typeof el.innerText === 'string' ? el.innerText : (el.textContent ?? ''));
  // Deeper than any parsed document nests; what lies below is left out.
  const kMaxDepth = 512;
  const drawsElsewhere = (el) =>
    el.shadowRoot !== null || (el.localName === 'slot' && el.assignedNodes().length > 0);
  const composed = (el) => {
    if (drawsElsewhere(el)) return true;
    for (const inner of el.querySelectorAll('*')) {
      if (drawsElsewhere(inner)) return true;
    }
    return false;
  };
  if (root.nodeType !== Node.ELEMENT_NODE || !composed(root)) return native(root);
  const view = root.ownerDocument.defaultView;
  const styleOf = (el) => view.getComputedStyle(el);
  const rootStyle = styleOf(root);
  if (rootStyle.display === 'none' || (rootStyle.display !== 'contents' && !root.checkVisibility())) {
    return native(root);
  }

  // The tree the page is drawn from: a host's shadow tree, a slot's
  // assigned nodes (else its own), an element's children.
  const flatChildren = (node) => {
    if (node.localName === 'slot') {
      const assigned = node.assignedNodes();
      if (assigned.length > 0) return assigned;
    }
    return (node.shadowRoot ?? node).childNodes;
  };

  // Strings, required line breaks (numbers: how many line feeds at least)
  // and collapsible spaces whose fate the rest of their line decides.
  const items = [];
  // The line being laid out: at its start, and its space still pending.
  let line = {start: true, space: null, last: ' '};
  const newLine = () => ({start: true, space: null, last: ' '});
  const breakLine = () => {
    line.space = null;  // a space at the end of a line is dropped
    line.start = true;
  };
  const content = (text, visible) => {
    if (line.space) line.space.keep = true;
    line.space = null;
    line.start = false;
    if (text) {
      line.last = text[text.length - 1];
      if (visible) items.push(text);
    }
  };
  const collapsibleSpace = (visible) => {
    if (line.start || line.space) return;
    line.space = {keep: false, visible};
    items.push(line.space);
  };

  const transformed = (text, transform) => {
    if (transform === 'uppercase') return text.toUpperCase();
    if (transform === 'lowercase') return text.toLowerCase();
    if (transform !== 'capitalize') return text;
    let out = '';
    let before = line.last;
    for (const c of text) {
      out += /\p{L}/u.test(c) && !/[\p{L}\p{N}'\u2019]/u.test(before) ? c.toUpperCase() : c;
      before = c;
    }
    return out;
  };

  const textNode = (node, style) => {
    const range = node.ownerDocument.createRange();
    range.selectNodeContents(node);
    if (range.getClientRects().length === 0) return;  // not laid out
    const visible = style.visibility === 'visible';
    const text = transformed(node.data, style.textTransform);
    const mode = style.whiteSpaceCollapse ?? (/^pre/.test(style.whiteSpace)
        ? 'preserve' : style.whiteSpace === 'pre-line' ? 'preserve-breaks' : 'collapse');
    if (mode === 'preserve' || mode === 'break-spaces' || mode === 'preserve-spaces') {
      const lines = text.split('\n');
      lines.forEach((part, i) => {
        if (i > 0) {
          if (mode === 'preserve-spaces') {
            content(' ', visible);
            return;
          }
          breakLine();
          if (visible) items.push('\n');
        }
        if (part) content(part, visible);
      });
      return;
    }
    const tokens = text.match(/[ \t\n\r\f]+|[^ \t\n\r\f]+/g) ?? [];
    tokens.forEach((token, i) => {
      if (!/^[ \t\n\r\f]/.test(token)) {
        content(token, visible);
      } else if (mode === 'preserve-breaks' && token.includes('\n')) {
        for (let n = token.split('\n').length - 1; n > 0; n--) {
          breakLine();
          if (visible) items.push('\n');
        }
      } else if (token.includes('\n') &&
                 (line.last === '\u200b' || (tokens[i + 1] ?? '').startsWith('\u200b'))) {
        // A line break next to a zero-width space is no space at all.
      } else {
        collapsibleSpace(visible);
      }
    });
  };

  const hasPseudo = (el, which) => {
    const style = view.getComputedStyle(el, which);
    return style.display !== 'none' && style.content !== 'none' && style.content !== 'normal';
  };
  const laterOfDisplay = (el, wanted) => {
    for (let next = el.nextElementSibling; next; next = next.nextElementSibling) {
      if (styleOf(next).display === wanted) return true;
    }
    return false;
  };
  // Whether another row follows in the table, in this group or a later one.
  const laterRow = (row) => {
    if (laterOfDisplay(row, 'table-row')) return true;
    const group = row.parentElement;
    if (!group || !/^table-(row|header|footer)-group$/.test(styleOf(group).display)) return false;
    for (let next = group.nextElementSibling; next; next = next.nextElementSibling) {
      const display = styleOf(next).display;
      if (display === 'table-row') return true;
      if (/^table-(row|header|footer)-group$/.test(display) &&
          [...next.children].some((child) => styleOf(child).display === 'table-row')) {
        return true;
      }
    }
    return false;
  };
  const kReplaced = new Set(['img', 'input', 'textarea', 'video', 'audio', 'canvas', 'iframe',
                             'frame', 'embed', 'svg', 'meter', 'progress']);

  const children = (node, style, depth) => {
    for (const child of flatChildren(node)) {
      if (child.nodeType === Node.TEXT_NODE) {
        textNode(child, style);
      } else if (child.nodeType === Node.ELEMENT_NODE && depth < kMaxDepth) {
        element(child, depth + 1);
      }
    }
  };

  const element = (el, depth) => {
    const style = styleOf(el);
    const display = style.display;
    if (display === 'none') return;
    if (display === 'contents') {
      children(el, style, depth);
      return;
    }
    if (!el.checkVisibility()) return;
    const visible = style.visibility === 'visible';
    if (el.localName === 'br') {
      breakLine();
      if (visible) items.push('\n');
      return;
    }
    if (el.localName === 'select') {
      content('', visible);
      for (const option of el.options) {
        items.push(1);
        if (visible) items.push(option.text);
        items.push(1);
      }
      return;
    }
    const inlineLevel = display.startsWith('inline') || display.startsWith('ruby');
    const outOfFlow = style.float !== 'none' || style.position === 'absolute' ||
                      style.position === 'fixed';
    const cell = display === 'table-cell';
    const row = display === 'table-row';
    const tablePart = display.startsWith('table-') && display !== 'table-caption';
    let breaks = 0;
    if (visible && el.localName === 'p') {
      breaks = 2;
    } else if (visible && !inlineLevel && !tablePart) {
      breaks = 1;
    }
    const inside = () => {
      if (hasPseudo(el, '::before')) content('', visible);
      // What is not drawn: the contents of a closed details element but its
      // summary, and of content-visibility: hidden.
      if (el.localName === 'details' && !el.open) {
        const summary = [...el.children].find((child) => child.localName === 'summary');
        if (summary) element(summary, depth + 1);
      } else if (style.contentVisibility !== 'hidden') {
        children(el, style, depth);
      }
      if (hasPseudo(el, '::after')) content('', visible);
    };

    if (inlineLevel && display === 'inline' && !kReplaced.has(el.localName)) {
      inside();
    } else if (inlineLevel || outOfFlow) {
      // Laid out apart, in a box of its own: the line around it goes on.
      if (inlineLevel) content('', visible);
      const around = line;
      line = newLine();
      items.push(breaks);
      inside();
      items.push(breaks);
      line = around;
    } else {
      breakLine();
      items.push(breaks);
      inside();
      breakLine();
      items.push(breaks);
      if (visible && cell && laterOfDisplay(el, 'table-cell')) items.push('\t');
      if (visible && row && laterRow(el)) items.push('\n');
    }
  };

  children(root, rootStyle, 0);
  // Required line breaks at the ends are dropped; those between texts give
  // as many line feeds as the most of them asks.
  let text = '';
  let breaks = 0;
  for (const item of items) {
    if (typeof item === 'number') {
      if (text) breaks = Math.max(breaks, item);
      continue;
    }
    const part = typeof item === 'string' ? item : (item.keep && item.visible ? ' ' : '');
    if (!part) continue;
    if (breaks > 0) text += '\n'.repeat(breaks);
    breaks = 0;
    text += part;
  }
  return text;
}
