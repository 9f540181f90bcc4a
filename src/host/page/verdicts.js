// The conditions an action can find unmet. The host tells them apart by
// name and shows their text, the failure line before the selector, which
// is written here only. `final`: waiting cannot change it; `alone`: the
// text names no element, so the host adds no selector.
const kVerdicts = {
  missing: {text: 'no element matches selector'},
  hidden: {text: 'element is not visible'},
  disabled: {text: 'element is disabled'},
  unstable: {text: 'element is not stable'},
  covered: {text: 'element is covered by '},
  unreached: {text: 'element did not receive the click'},
  readonly: {text: 'element is read-only'},
  textless: {text: 'element cannot take text', final: true},
  unfocusable: {text: 'element cannot take the focus'},
  malformed: {text: 'malformed value for a ', final: true, alone: true},
};

// The answer for an unmet condition: its name, its text with `detail`
// after it, and its flags.
function unmet(verdict, detail = '') {
  const {text, ...flags} = kVerdicts[verdict];
  return {verdict, error: text + detail, ...flags};
}
