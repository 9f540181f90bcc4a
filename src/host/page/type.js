// The page's side of type: which fields take text and how, and the submit
// that Enter may not have done.

// Fields typed into as a user types, and fields whose value has a format of
// their own, set whole. The element's type property decides: a type the
// browser does not know reads as "text".
const kTypedInputs = new Set(['text', 'search', 'url', 'tel', 'email', 'password', 'number']);
const kValueInputs = new Set(['date', 'time', 'datetime-local', 'month', 'week', 'color', 'range']);

// The field typed into last, and whether its form has been submitted since.
let typed = null;

function fieldKind(el) {
  if (el.tagName === 'INPUT') {
    if (kTypedInputs.has(el.type)) return 'typed';
    if (kValueInputs.has(el.type)) return 'value';
    return '';
  }
  return el.tagName === 'TEXTAREA' || el.isContentEditable ? 'typed' : '';
}

// Whether a field of `type` keeps `text` as it is: an input of the same
// type, not in the page, is given it. A colour field keeps any case of
// #rrggbb, in lower case.
function keeps(field, text) {
  const probe = field.ownerDocument.createElement('input');
  probe.type = field.type;
  for (const name of ['min', 'max', 'step']) {
    if (field.hasAttribute(name)) probe.setAttribute(name, field.getAttribute(name));
  }
  probe.value = text;
  return probe.value === (field.type === 'color' ? text.toLowerCase() : text);
}

function malformed(field, text) {
  return unmet('malformed', field.type + ' field: ' + JSON.stringify(text));
}

// The element holding the focus, inside shadow roots and frames of this origin.
function focused() {
  let active = document.activeElement;
  for (let depth = 0; active && depth < kMaxDocuments; depth++) {
    const next = active.shadowRoot?.activeElement ??
                 (isFrame(active) ? frameDocument(active)?.activeElement : null);
    if (!next) break;
    active = next;
  }
  return active;
}

// Makes the field ready for the text the host inserts next: focused with
// its content selected (deleted for an empty text). A field with a value
// format of its own is set here, with the events a user's change gives.
function readyToType(el, request) {
  const field = fieldOf(el);
  const kind = fieldKind(field);
  if (!kind) return unmet('textless');
  if (!isVisible(field)) return unmet('hidden');
  if (isDisabled(field)) return unmet('disabled');
  if (field.readOnly) return unmet('readonly');
  const text = request.text;
  if (field.type === 'number' && text !== '' && !keeps(field, text)) return malformed(field, text);
  if (kind === 'value' && !keeps(field, text)) return malformed(field, text);
  field.focus();
  const active = focused();
  let node = active;
  for (let depth = 0; node && node !== field && depth < kMaxDepth; depth++) node = composedParent(node);
  if (!node) return unmet('unfocusable');
  if (request.submit) {
    const state = {field, submitted: false};
    typed = state;
    field.ownerDocument.defaultView.addEventListener('submit', () => { state.submitted = true; },
                                                     {capture: true, once: true});
  }
  if (kind === 'value') {
    field.value = text;
    field.dispatchEvent(new Event('input', {bubbles: true, composed: true}));
    field.dispatchEvent(new Event('change', {bubbles: true}));
    return {done: true};
  }
  if (field.isContentEditable) {
    const range = field.ownerDocument.createRange();
    range.selectNodeContents(field);
    const selection = field.ownerDocument.getSelection();
    selection.removeAllRanges();
    selection.addRange(range);
  } else {
    field.select();
  }
  // Deleting the selection as a user would tells the page the field is empty.
  if (text === '' && (field.isContentEditable ? field.textContent !== '' : field.value !== '')) {
    field.ownerDocument.execCommand('delete');
  }
  return {ready: true};
}

// After Enter: submits the typed field's form unless Enter already did.
function submitTyped() {
  const state = typed;
  typed = null;
  if (!state || state.submitted) return 'already';
  const form = state.field.form ?? state.field.closest('form');
  if (!form) return 'no form';
  if (typeof form.requestSubmit === 'function') form.requestSubmit(); else form.submit();
  return 'submitted';
}
