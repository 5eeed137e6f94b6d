'use strict';
// The two HTML pages of the sandbox: the onboarding service's binding page and the simulated
// privacy settings. Plain HTML with a little script; nothing is fetched from outside.

function escapeHTML(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
}

const STYLE = `
  body { font-family: -apple-system, "Noto Sans CJK SC", "Noto Sans", sans-serif; margin: 0; background: #f4f5f7; color: #1d1f24; }
  main { max-width: 560px; margin: 48px auto; background: #fff; border-radius: 12px; padding: 32px; box-shadow: 0 2px 12px rgba(0,0,0,.08); }
  h1 { font-size: 22px; margin-top: 0; }
  .muted { color: #6b7280; font-size: 14px; }
  button { font-size: 16px; padding: 10px 20px; border-radius: 8px; border: 0; background: #2563eb; color: #fff; cursor: pointer; }
  button.off { background: #9ca3af; }
  button:disabled { opacity: .5; cursor: default; }
  .state { margin: 20px 0; padding: 12px 16px; border-radius: 8px; background: #f3f4f6; }
  .row { display: flex; align-items: center; justify-content: space-between; padding: 14px 0; border-bottom: 1px solid #eee; }
  .row.focus { background: #eff6ff; margin: 0 -12px; padding: 14px 12px; border-radius: 8px; }
  .sandbox { font-size: 12px; color: #9ca3af; margin-top: 24px; }
`;

function bindingPage(agentName) {
  const name = escapeHTML(agentName);
  return `<!doctype html>
<html lang="zh-CN"><head><meta charset="utf-8"><title>绑定 Channel · ${name}</title><style>${STYLE}</style></head>
<body><main>
<h1>为 Agent「${name}」绑定 Channel</h1>
<p class="muted">绑定后，Agent 会通过这个 Channel 接收你的消息。</p>
<div class="state" id="state">正在读取绑定状态…</div>
<button id="bind" disabled>绑定 Channel</button>
<p class="sandbox">Quorvantis sandbox · simulated onboarding service</p>
</main>
<script>
const agent = ${JSON.stringify(String(agentName))};
const token = decodeURIComponent(location.hash.slice(1));
const stateBox = document.getElementById('state');
const button = document.getElementById('bind');
const api = '/api/agents/' + encodeURIComponent(agent) + '/setup';
function show(s) {
  if (s.onboardingComplete) { stateBox.textContent = '绑定已完成，可以回到 Quorvantis。'; button.disabled = true; return true; }
  const pending = (s.liveAttempts || []).some(a => a.status === 'pending');
  stateBox.textContent = pending ? '正在确认绑定…' : '尚未绑定。链接有效期至 ' + new Date(s.expiresAt).toLocaleString('zh-CN');
  button.disabled = pending;
  return false;
}
async function load() {
  const r = await fetch(api, { headers: { Authorization: 'Bearer ' + token }, cache: 'no-store' });
  if (!r.ok) { stateBox.textContent = '这个绑定链接已失效，请在 Quorvantis 中获取新链接。'; button.disabled = true; return true; }
  return show(await r.json());
}
async function poll() { if (!(await load())) setTimeout(poll, 1000); }
button.addEventListener('click', async () => {
  button.disabled = true;
  const r = await fetch(api + '/attempts', { method: 'POST', headers: { Authorization: 'Bearer ' + token } });
  if (r.ok) show(await r.json()); else stateBox.textContent = '绑定失败，请重试。';
});
poll();
</script>
</body></html>`;
}

const PANES = [
  { key: 'screenRecording', title: '屏幕录制', pane: 'Privacy_ScreenCapture' },
  { key: 'accessibility', title: '辅助功能', pane: 'Privacy_Accessibility' },
  { key: 'fullDiskAccess', title: '完全磁盘访问权限', pane: 'Privacy_AllFiles' },
];

function paneKey(url) {
  const text = String(url || '');
  for (const p of PANES) if (text.includes(p.pane)) return p.key;
  return null;
}

function settingsPage(state, token, focus) {
  const rows = PANES.map((p) => {
    const on = Boolean(state.permissions[p.key]);
    return `<form method="post" action="/settings?token=${encodeURIComponent(token)}" class="row${focus === p.key ? ' focus' : ''}">
  <span>${escapeHTML(p.title)}<br><span class="muted">Quorvantis Agent 的工具（node、cliclick、截图程序）</span></span>
  <input type="hidden" name="permission" value="${p.key}"><input type="hidden" name="granted" value="${on ? 'false' : 'true'}">
  <input type="hidden" name="focus" value="${escapeHTML(focus || '')}">
  <button class="${on ? '' : 'off'}" type="submit">${on ? '已允许' : '未允许'}</button>
</form>`;
  }).join('\n');
  return `<!doctype html>
<html lang="zh-CN"><head><meta charset="utf-8"><title>隐私与安全性 · Sandbox</title><style>${STYLE}</style></head>
<body><main>
<h1>隐私与安全性</h1>
<p class="muted">模拟的系统设置：点击按钮切换权限，Quorvantis 的权限检查会立即看到变化。</p>
${rows}
<p class="sandbox">Quorvantis sandbox · simulated privacy settings</p>
</main></body></html>`;
}

module.exports = { bindingPage, settingsPage, paneKey, escapeHTML, PANES };
