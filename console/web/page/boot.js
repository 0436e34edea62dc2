// The one plain script of the page: should its modules not load (a lost
// connection, a refused file), the page says so after a while and offers to
// load again, rather than staying blank. app.js marks the page started.
'use strict';
setTimeout(() => {
  if (document.body.dataset.started) return;
  const box = document.getElementById('start-error');
  document.getElementById('start-error-text').textContent =
    'The page did not load completely (its scripts did not come from the console).';
  const retry = document.getElementById('start-retry');
  retry.addEventListener('click', () => location.reload());
  box.hidden = false;
}, 10000);
