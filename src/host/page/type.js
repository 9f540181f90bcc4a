// The page's side of type: which fields take text, and the submit that
// Enter may not have done.

// Inputs typed into, by their type attribute; textareas and content-editable
// elements take text too.
const kTextTypes = ['', 'text', 'search', 'url', 'tel', 'email', 'password', 'number'];

// The field typed into last, and whether its form has been submitted since.
let typed = null;

function takesText(el) {
  return el.isContentEditable || el.tagName === 'TEXTAREA' ||
         (el.tagName === 'INPUT' && kTextTypes.includes((el.getAttribute('type') ?? '').toLowerCase()));
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
// its content selected (deleted for an empty text).
function readyToType(el, request) {
  const field = fieldOf(el);
  if (!takesText(field)) return {error: 'element cannot take text', final: true};
  if (!isVisible(field)) return {error: 'element is not visible'};
  if (isDisabled(field)) return {error: 'element is disabled'};
  if (field.readOnly) return {error: 'element is read-only'};
  const text = request.text;
  field.focus();
  const active = focused();
  let node = active;
  for (let depth = 0; node && node !== field && depth < kMaxDepth; depth++) node = composedParent(node);
  if (!node) return {error: 'element cannot take the focus'};
  if (request.submit) {
    const state = {field, submitted: false};
    typed = state;
    field.ownerDocument.defaultView.addEventListener('submit', () => { state.submitted = true; },
                                                     {capture: true, once: true});
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
