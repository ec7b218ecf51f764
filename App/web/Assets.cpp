#include "Assets.h"

namespace app::web {

const char* const kStyleSheet = R"css(
body { font: 14px/1.4 system-ui, sans-serif; margin: 0; color: #222; background: #f7f7f5; }
nav { background: #2d4a3e; padding: 0 1em; }
nav a { color: #fff; display: inline-block; padding: .7em .8em; text-decoration: none; }
nav a.here { background: #46705e; }
main { padding: 1em 1.5em; max-width: 78em; }
h1 { font-size: 1.3em; }
table { border-collapse: collapse; background: #fff; width: 100%; }
th, td { border-bottom: 1px solid #ddd; padding: .35em .5em; text-align: left; vertical-align: top; }
th { background: #eee; }
.note { background: #fff8d8; border: 1px solid #e6d27a; padding: .5em .8em; margin: .5em 0; }
.done { background: #e4f4e4; border: 1px solid #8bc48b; padding: .5em .8em; margin: .5em 0; }
.error, .field-error { color: #a40000; }
.field-error { display: block; font-size: .9em; }
.problem { background: #fde8e8; border: 1px solid #d88; padding: .5em .8em; margin: .5em 0; }
pre.message { background: #fff; border: 1px solid #ccc; padding: .8em; white-space: pre-wrap; }
fieldset { background: #fff; border: 1px solid #ccc; margin: .6em 0; }
label { display: inline-block; margin: .2em .6em .2em 0; }
textarea { width: 100%; min-height: 5em; font-family: monospace; }
input[type=text] { min-width: 20em; }
.job { padding-left: 2em; }
.members { max-height: 20em; overflow: auto; background: #fff; border: 1px solid #ccc; padding: .4em; }
.inline { display: inline; }
.pager a { margin-right: 1em; }
)css";

// A little script: adding and removing rule rows, the live template preview,
// the member search and confirmations. Everything it sends carries the token
// the page was rendered with.
const char* const kScript = R"js(
(function () {
  'use strict';
  function token() {
    var meta = document.querySelector('meta[name="reminders-token"]');
    return meta ? meta.getAttribute('content') : '';
  }
  function addRow(templateId, listId) {
    var tpl = document.getElementById(templateId);
    var list = document.getElementById(listId);
    if (!tpl || !list) return;
    list.appendChild(tpl.content.cloneNode(true));
    wire(list.lastElementChild);
  }
  function preview(rule) {
    var out = rule.querySelector('.live-preview');
    var invoice = document.getElementById('preview-invoice');
    if (!out || !invoice || !invoice.value) return;
    var body = JSON.stringify({
      invoice: invoice.value,
      subject: rule.querySelector('[name=rule_subject]').value,
      body: rule.querySelector('[name=rule_body]').value
    });
    fetch('/api/preview', {method: 'POST', credentials: 'same-origin',
      headers: {'Content-Type': 'application/json', 'X-Reminders-Token': token()}, body: body})
      .then(function (r) { return r.json(); })
      .then(function (j) {
        out.textContent = j.error ? j.error : ('Subject: ' + j.subject + '\n\n' + j.body);
      })
      .catch(function () { out.textContent = '(no preview)'; });
  }
  function wire(root) {
    if (!root || !root.querySelectorAll) return;
    root.querySelectorAll('.remove-row').forEach(function (b) {
      b.addEventListener('click', function () { b.closest('.row').remove(); });
    });
    var rules = Array.prototype.slice.call(root.querySelectorAll('.rule'));
    if (root.matches && root.matches('.rule')) rules.push(root);
    rules.forEach(function (rule) {
      var timer = null;
      rule.querySelectorAll('[name=rule_subject],[name=rule_body]').forEach(function (f) {
        f.addEventListener('input', function () {
          clearTimeout(timer);
          timer = setTimeout(function () { preview(rule); }, 250);
        });
      });
      preview(rule);
    });
  }
  document.addEventListener('DOMContentLoaded', function () {
    var add = document.getElementById('add-rule');
    if (add) add.addEventListener('click', function () { addRow('rule-template', 'rules'); });
    var addStmt = document.getElementById('add-statement-rule');
    if (addStmt) addStmt.addEventListener('click', function () { addRow('statement-rule-template', 'statement-rules'); });
    var invoice = document.getElementById('preview-invoice');
    if (invoice) invoice.addEventListener('change', function () {
      document.querySelectorAll('.rule').forEach(preview);
    });
    wire(document);
    var search = document.getElementById('member-search');
    if (search) search.addEventListener('input', function () {
      var q = search.value.toLowerCase();
      document.querySelectorAll('.members label').forEach(function (l) {
        l.parentElement.style.display = l.textContent.toLowerCase().indexOf(q) >= 0 ? '' : 'none';
      });
    });
    var all = document.getElementById('tick-all');
    if (all) all.addEventListener('change', function () {
      document.querySelectorAll('input[name=key]').forEach(function (c) { c.checked = all.checked; });
    });
    document.querySelectorAll('form[data-confirm]').forEach(function (f) {
      f.addEventListener('submit', function (e) {
        if (!window.confirm(f.getAttribute('data-confirm'))) e.preventDefault();
      });
    });
  });
})();
)js";

} // namespace app::web
