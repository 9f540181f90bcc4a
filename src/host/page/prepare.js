// The look for the element of an action, which every action with a
// selector starts with: in this world's documents, until the element can
// take the action or the time given runs out.

// Frames of another origin met by the last look that found nothing.
let otherFrames = [];

// Looks for the element until it can take the action, or `budget` ms pass,
// re-checking at each frame. Answers {ready} (the element is kept for
// measuredNode and aim), {done} (type has set the value), {text}, or the
// first condition still unmet (verdicts.js), with {frames}, the count of
// frames of another origin still to look in, when nothing matched. Frames of another origin end the wait at once. Every
// answer carries this view's size.
async function prepare(request) {
  const deadline = performance.now() + request.budget;
  const size = () => ({width: innerWidth, height: innerHeight});
  let scrolled = false;
  for (;;) {
    const found = findElement(request.selector);
    otherFrames = found.frames;
    let state;
    if (!found.element) {
      state = {...unmet('missing'), frames: found.frames.length};
      if (found.frames.length) return {...state, ...size()};
    } else if (request.action === 'text') {
      return {text: visibleText(found.element)};
    } else if (request.action === 'click') {
      state = readyToClick(found.element, request.attempt, !scrolled);
      scrolled ||= !state.error;
    } else {
      state = readyToType(found.element, request);
    }
    if (!state.error || state.final || performance.now() >= deadline) return {...state, ...size()};
    await nextFrame();
  }
}

// The n-th frame of another origin met by the last look.
function otherFrame(n) {
  return otherFrames[n] ?? null;
}
