// The verdicts of the page code's answers: the host tells an unmet
// condition by the answer's `verdict` and shows its `error`, so each answer
// that fails names both, and one that does not names none. The DOM the
// answers look at is stood in for by the page code's own helpers, replaced.

'use strict';
const test = require('node:test');
const assert = require('node:assert');
const {loadPage} = require('./load.js');

// A view with no frames that keeps the listeners the press guard adds.
function fakeWindow() {
  const listeners = [];
  return {
    frames: [],
    listeners,
    addEventListener: (type, listener) => listeners.push({type, listener}),
    removeEventListener: () => {},
  };
}

function freshPage(stubs = {}) {
  const window = fakeWindow();
  const page = loadPage('TESSIK_PAGE_SCRIPT', {performance, innerWidth: 800, innerHeight: 600,
                                               window, Node: {ELEMENT_NODE: 1}});
  Object.assign(page, {
    controlOf: (el) => el,
    fieldOf: (el) => el,
    isVisible: () => true,
    isDisabled: () => false,
    scrollToView: () => {},
    boxOf: () => ({x: 0, y: 0, width: 10, height: 10}),
    drawnNode: (el) => el,
    keeps: () => true,
  }, stubs);
  return {page, window};
}

const found = (element, frames = []) => () => ({element, frames});
const look = (action, extra = {}) =>
  ({selector: '#x', action, budget: 0, attempt: 0, text: '', submit: false, ...extra});
const frame = {tagName: 'IFRAME', id: 'inner', classList: []};
const input = (type, more = {}) => ({tagName: 'INPUT', type, readOnly: false, ...more});
// A press event as the browser sends it, at the point the guard judges.
const press = (type) => ({type, isTrusted: true, clientX: 1, clientY: 1,
                          preventDefault() {}, stopImmediatePropagation() {}});

test('every answer that fails names its verdict and the text the host shows', async () => {
  const rows = [
    // [what, stubs, call, expected verdict or null, expected error]
    ['nothing matches', {findElement: found(null)},
     ({page}) => page.prepare(look('click')), 'missing', 'no element matches selector'],
    ['nothing matches, frames of another origin left', {findElement: found(null, [{}])},
     ({page}) => page.prepare(look('text')), 'missing', 'no element matches selector'],
    ['hidden', {findElement: found({}), isVisible: () => false},
     ({page}) => page.prepare(look('click')), 'hidden', 'element is not visible'],
    ['disabled', {findElement: found({}), isDisabled: () => true},
     ({page}) => page.prepare(look('click')), 'disabled', 'element is disabled'],
    ['ready', {findElement: found({})}, ({page}) => page.prepare(look('click')), null, undefined],
    ['no field', {findElement: found({tagName: 'DIV'})},
     ({page}) => page.prepare(look('type')), 'textless', 'element cannot take text'],
    ['read-only', {findElement: found(input('text', {readOnly: true}))},
     ({page}) => page.prepare(look('type')), 'readonly', 'element is read-only'],
    ['malformed', {findElement: found(input('date')), keeps: () => false},
     ({page}) => page.prepare(look('type', {text: 'soon'})), 'malformed',
     'malformed value for a date field: "soon"'],
    ['aim with nothing found', {}, ({page}) => page.aim({x: 0, y: 0, check: false, budget: 0}),
     'missing', 'no element matches selector'],
    ['a frame covered', {elementAt: () => ({tagName: 'DIV', id: 'ov', classList: []}),
                         composedParent: () => null},
     ({page}) => page.frameMiss.call({}, 1, 1), 'covered', 'element is covered by div#ov'],
    ['a frame free', {elementAt: () => frame}, ({page}) => page.frameMiss.call(frame, 1, 1),
     null, undefined],
    ['a press no view saw', {}, ({page}) => {
      page.armGuard({isConnected: true});
      return page.settle();
    }, 'unreached', 'element did not receive the click'],
    ['a release without a press', {}, ({page, window}) => {
      page.armGuard({isConnected: true});
      window.listeners[0].listener(press('mouseup'));
      return page.settle();
    }, 'unreached', 'element did not receive the click'],
    ['a press after the target went', {}, ({page, window}) => {
      page.armGuard({isConnected: false});
      window.listeners[0].listener(press('mousedown'));
      return page.settle();
    }, 'missing', 'no element matches selector'],
  ];
  for (const [what, stubs, call, verdict, error] of rows) {
    const made = freshPage(stubs);
    const answer = await call(made);
    assert.strictEqual(answer?.verdict ?? null, verdict, what);
    assert.strictEqual(answer.error, error, what);
  }
});
