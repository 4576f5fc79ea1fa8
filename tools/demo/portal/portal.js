// The demo portal: a channel list over full-screen video, or a guide with the video in
// a window. It drives the player only through the global "Zandoro" object; without it
// (a plain browser) every call is logged and skipped, so the page can be previewed.
'use strict';

(function () {
  const CHANNELS = [
    { url: 'igmp://239.1.1.1:5000', name: 'Testcard', video: 'SD', codec: 'MPEG-2', size: '720×576 16:9',
      tone: 440, colour: '#2050C8', about: 'A moving test card: colour bars, a sweep and a timer.' },
    { url: 'igmp://239.1.1.2:5000', name: 'Studio Bars', video: 'HD', codec: 'H.264', size: '1280×720',
      tone: 550, colour: '#E07818', about: 'SMPTE HD colour bars, as a studio sends before a show.' },
    { url: 'igmp://239.1.1.3:5000', name: 'Fractal', video: 'SD', codec: 'MPEG-2', size: '720×576 16:9',
      tone: 660, colour: '#20A040', about: 'A slow dive into the Mandelbrot set.' },
    { url: 'igmp://239.1.1.4:5000', name: 'Gradients', video: 'HD', codec: 'H.264', size: '1280×720',
      tone: 330, colour: '#1096A0', about: 'Drifting colour gradients.' },
    { url: 'igmp://239.1.1.5:5000', name: 'Life', video: 'SD', codec: 'MPEG-2', size: '720×576 16:9',
      tone: 880, colour: '#C82828', about: "Conway's Game of Life, live." },
    { url: 'igmp://239.1.1.6:5000', name: 'Colour Bars', video: 'HD', codec: 'H.264', size: '1280×720',
      tone: 770, colour: '#DCBE28', about: 'Red, green and blue ramps.' },
  ];

  const Z = (typeof window.Zandoro === 'object' && window.Zandoro !== null) ? window.Zandoro : null;

  function log(text) { console.log('portal: ' + text); }

  // One call into the player; a missing object or method is logged, never thrown.
  function api(name, ...args) {
    if (!Z || typeof Z[name] !== 'function') {
      log('(no player) ' + name + '(' + args.map((a) => JSON.stringify(a)).join(', ') + ')');
      return undefined;
    }
    try {
      return Z[name](...args);
    } catch (e) {
      log(name + ' failed: ' + e);
      return undefined;
    }
  }

  const $ = (id) => document.getElementById(id);
  const state = {
    focus: 0,          // index under the highlight
    playing: -1,       // index playing, -1 when stopped
    layout: 'FULL',    // 'FULL' or 'PIG'
    hidden: false,     // panels hidden in the full layout
    fullscreen: false,
    bannerTimer: 0,
  };

  // ---- layout ------------------------------------------------------------------

  const px = (v) => Math.round(v) + 'px';

  function unit() { return window.innerHeight / 576; }

  function rectOf(el, grow) {
    const r = el.getBoundingClientRect(), g = grow || 0;
    return { x0: Math.floor(r.left) - g, y0: Math.floor(r.top) - g, x1: Math.ceil(r.right) + g, y1: Math.ceil(r.bottom) + g };
  }

  // The area less the holes, as few disjoint rectangles: bands between the holes'
  // edges, each band's free spans, equal spans of neighbouring bands merged.
  function subtract(area, holes) {
    const hs = holes
      .map((h) => ({ x0: Math.max(h.x0, area.x0), y0: Math.max(h.y0, area.y0),
                     x1: Math.min(h.x1, area.x1), y1: Math.min(h.y1, area.y1) }))
      .filter((h) => h.x0 < h.x1 && h.y0 < h.y1);
    const ys = [...new Set([area.y0, area.y1, ...hs.flatMap((h) => [h.y0, h.y1])])].sort((a, b) => a - b);
    const out = [];
    let open = [];  // rectangles still growing downwards
    for (let i = 0; i + 1 < ys.length; i++) {
      const ya = ys[i], yb = ys[i + 1];
      const cuts = hs.filter((h) => h.y0 < yb && h.y1 > ya).sort((a, b) => a.x0 - b.x0);
      const spans = [];
      let x = area.x0;
      for (const h of cuts) {
        if (h.x0 > x) spans.push([x, h.x0]);
        x = Math.max(x, h.x1);
      }
      if (x < area.x1) spans.push([x, area.x1]);
      const next = [];
      for (const [a, b] of spans) {
        const same = open.find((r) => r.x0 === a && r.x1 === b && r.y1 === ya);
        if (same) { same.y1 = yb; next.push(same); } else {
          const r = { x0: a, y0: ya, x1: b, y1: yb };
          out.push(r);
          next.push(r);
        }
      }
      open = next;
    }
    return out;
  }

  function paintKeys(rects) {
    const box = $('keys');
    box.textContent = '';
    for (const r of rects) {
      const d = document.createElement('div');
      d.className = 'key';
      d.style.left = r.x0 + 'px';
      d.style.top = r.y0 + 'px';
      d.style.width = (r.x1 - r.x0) + 'px';
      d.style.height = (r.y1 - r.y0) + 'px';
      box.appendChild(d);
    }
  }

  // The video window of the guide layout: 16:9 (the demo channels' shape, so the
  // picture fills it exactly), whole and even pixels, right of the list.
  function pigRect() {
    const u = unit(), W = window.innerWidth, H = window.innerHeight;
    const list = rectOf($('list'));
    const top = rectOf($('header')).y1 + Math.round(16 * u);
    const bottom = rectOf($('footer')).y0 - Math.round(16 * u);
    const left = list.x1 + Math.round(24 * u), right = W - Math.round(20 * u);
    let w = Math.min(right - left, ((bottom - top) * 0.66) * 16 / 9);
    w = Math.max(64, Math.floor(w / 32) * 32);
    const h = w * 9 / 16;
    let x = left + Math.floor((right - left - w) / 2);
    x -= x % 2;
    return { x: x, y: top + (top % 2), w: w, h: h, bottom: bottom };
  }

  function layout() {
    const u = unit(), W = window.innerWidth, H = window.innerHeight;
    document.documentElement.style.fontSize = (16 * u) + 'px';
    const pig = state.layout === 'PIG';
    document.documentElement.classList.toggle('pig', pig);
    const showPanels = pig || !state.hidden;
    for (const id of ['header', 'list', 'footer']) $(id).hidden = !showPanels;
    $('info').hidden = !pig;
    $('pig-frame').hidden = !pig;
    $('layout-label').textContent = pig ? 'full picture' : 'guide';
    document.querySelector('[data-action="hide"]').hidden = pig;
    $('note').hidden = !!Z;

    if (pig) {
      const r = pigRect();
      const f = $('pig-frame');
      f.style.left = px(r.x - 3); f.style.top = px(r.y - 3);
      f.style.width = px(r.w + 6); f.style.height = px(r.h + 6);
      const info = $('info');
      info.style.left = px(r.x - 3);
      info.style.top = px(r.y + r.h + Math.round(14 * u));
      info.style.width = px(r.w + 6);
      info.style.height = px(Math.max(0, r.bottom - (r.y + r.h + Math.round(14 * u))));
      paintKeys([{ x0: r.x, y0: r.y, x1: r.x + r.w, y1: r.y + r.h }]);
      return r;
    }
    // Full layout: the key everywhere except under what is drawn over the video. The
    // cut-outs are a pixel wider than the panels, whose rounded edges can bleed a
    // little; transparent pixels show the video too.
    const holes = ['header', 'list', 'footer', 'banner', 'note']
      .map($).filter((el) => !el.hidden).map((el) => rectOf(el, 1));
    paintKeys(subtract({ x0: 0, y0: 0, x1: W, y1: H }, holes));
    return null;
  }

  // Tells the player where the video goes; the rectangle first, so the switch to the
  // guide already scales into it.
  function applyLayout() {
    const r = layout();
    if (r) {
      api('Video_SetPigPosition', r.x, r.y, r.w, r.h);
      api('Video_SetScreenMode', (Z && Z.Video_PIG) || 'PIG');
      log('layout PIG ' + r.x + ',' + r.y + ' ' + r.w + 'x' + r.h);
    } else {
      api('Video_SetScreenMode', (Z && Z.Video_FULL) || 'FULL');
      log('layout FULL');
    }
  }

  // ---- channel list ---------------------------------------------------------------

  function buildList() {
    const ol = $('channels');
    CHANNELS.forEach((c, i) => {
      const li = document.createElement('li');
      li.className = 'ch';
      li.innerHTML = '<span class="mark"></span><span class="num"></span><span class="swatch"></span>' +
        '<span class="name"></span><span class="tag"></span>';
      li.querySelector('.num').textContent = i + 1;
      li.querySelector('.swatch').style.background = c.colour;
      li.querySelector('.name').textContent = c.name;
      li.querySelector('.tag').textContent = c.video + ' ' + c.codec;
      li.addEventListener('click', () => { setFocus(i); play(i); });
      ol.appendChild(li);
    });
  }

  function renderList() {
    document.querySelectorAll('.ch').forEach((li, i) => {
      li.classList.toggle('focus', i === state.focus);
      li.classList.toggle('playing', i === state.playing);
      li.querySelector('.mark').textContent = i === state.playing ? '▶' : '';
    });
  }

  function renderNow() {
    const c = CHANNELS[state.playing];
    const st = $('now-state');
    st.textContent = !Z ? 'No player' : c ? 'Playing' : 'Stopped';
    st.className = 'state ' + (!Z ? '' : c ? 'playing' : 'stopped');
    $('now-name').textContent = c ? (state.playing + 1) + '  ' + c.name : '';
    const shown = CHANNELS[state.playing >= 0 ? state.playing : state.focus];
    const n = (state.playing >= 0 ? state.playing : state.focus) + 1;
    $('info-num').textContent = n;
    $('info-name').textContent = shown.name;
    $('info-about').textContent = shown.about;
    $('info-video').textContent = shown.codec + ', ' + shown.size + ', 25 fps';
    $('info-sound').textContent = 'MP2 stereo, ' + shown.tone + ' Hz tone';
    $('info-url').textContent = shown.url;
  }

  function setFocus(i) {
    state.focus = (i + CHANNELS.length) % CHANNELS.length;
    renderList();
    if (state.playing < 0) renderNow();
  }

  function play(i) {
    i = (i + CHANNELS.length) % CHANNELS.length;
    const c = CHANNELS[i];
    log('play ' + (i + 1) + ' ' + c.name + ' ' + c.url);
    api('Media_Play', c.url);
    state.playing = i;
    state.focus = i;
    renderList();
    renderNow();
    if (state.layout === 'FULL' && state.hidden) showBanner(i + 1, c.name);
  }

  function stop() {
    log('stop');
    api('Media_Stop');
    state.playing = -1;
    renderList();
    renderNow();
  }

  function showBanner(num, name) {
    const b = $('banner');
    b.innerHTML = '<span class="num"></span><span class="name"></span>';
    b.querySelector('.num').textContent = num;
    b.querySelector('.name').textContent = name;
    b.hidden = false;
    layout();
    clearTimeout(state.bannerTimer);
    state.bannerTimer = setTimeout(() => { b.hidden = true; layout(); }, 4000);
  }

  // ---- actions ----------------------------------------------------------------------

  function toggleLayout() {
    state.layout = state.layout === 'FULL' ? 'PIG' : 'FULL';
    state.hidden = false;
    $('banner').hidden = true;
    applyLayout();
  }

  function toggleFullscreen() {
    const now = !!api('Video_GetFullScreen');
    api('Video_SetFullScreen', now ? 0 : 1);
    state.fullscreen = !now;
    $('fs-state').textContent = state.fullscreen ? 'Full screen' : '';
    log('full screen ' + (state.fullscreen ? 'on' : 'off'));
  }

  function leaveFullscreen() {
    if (api('Video_GetFullScreen')) {
      api('Video_SetFullScreen', 0);
      log('full screen off');
    }
    state.fullscreen = false;
    $('fs-state').textContent = '';
  }

  function togglePanels() {
    if (state.layout !== 'FULL') return;
    state.hidden = !state.hidden;
    $('banner').hidden = true;
    layout();
    log(state.hidden ? 'panels hidden' : 'panels shown');
  }

  function showPanels() {
    if (state.layout === 'FULL' && state.hidden) togglePanels();
  }

  const ACTIONS = {
    layout: toggleLayout, fullscreen: toggleFullscreen, stop: stop, hide: togglePanels,
  };

  // Keys by name, with the Windows key codes as the fallback the player's keyboard
  // events also carry.
  function keyName(e) {
    if (e.key && e.key !== 'Unidentified') return e.key.length === 1 ? e.key.toLowerCase() : e.key;
    const byCode = { 13: 'Enter', 27: 'Escape', 32: ' ', 33: 'PageUp', 34: 'PageDown',
                     37: 'ArrowLeft', 38: 'ArrowUp', 39: 'ArrowRight', 40: 'ArrowDown' };
    if (byCode[e.keyCode]) return byCode[e.keyCode];
    if (e.keyCode >= 48 && e.keyCode <= 57) return String(e.keyCode - 48);
    if (e.keyCode >= 96 && e.keyCode <= 105) return String(e.keyCode - 96);
    if (e.keyCode >= 65 && e.keyCode <= 90) return String.fromCharCode(e.keyCode + 32);
    return '';
  }

  function onKey(e) {
    if (e.ctrlKey || e.altKey || e.metaKey) return;
    const k = keyName(e);
    let handled = true;
    if (k === 'ArrowUp' || k === 'ArrowDown') {
      if (state.layout === 'FULL' && state.hidden) showPanels();
      else setFocus(state.focus + (k === 'ArrowUp' ? -1 : 1));
    } else if (k === 'Enter' || k === ' ') {
      if (state.layout === 'FULL' && state.hidden) showPanels();
      else play(state.focus);
    } else if (k === 'PageUp' || k === 'PageDown') {
      play((state.playing >= 0 ? state.playing : state.focus) + (k === 'PageUp' ? -1 : 1));
    } else if (/^[1-9]$/.test(k) && Number(k) <= CHANNELS.length) {
      play(Number(k) - 1);
    } else if (k === 'p' || k === 'g') {
      toggleLayout();
    } else if (k === 'f') {
      toggleFullscreen();
    } else if (k === 'Escape') {
      leaveFullscreen();
    } else if (k === 's') {
      stop();
    } else if (k === 'h' || k === 'i') {
      togglePanels();
    } else {
      handled = false;
    }
    if (handled) e.preventDefault();
  }

  // ---- start ------------------------------------------------------------------------

  function tick() {
    const d = new Date();
    $('clock').textContent = String(d.getHours()).padStart(2, '0') + ':' + String(d.getMinutes()).padStart(2, '0');
  }

  function start() {
    if (!Z) document.documentElement.classList.add('preview');
    buildList();
    renderList();
    renderNow();
    const version = api('System_GetVersionNumber');
    $('version').textContent = typeof version === 'string' ? 'v' + version : (Z ? '' : 'preview');
    log('loaded, player ' + (typeof version === 'string' ? version : 'none') +
        ', API ' + (Z && typeof Z.getVersion === 'string' ? Z.getVersion : 'none'));
    tick();
    setInterval(tick, 10000);

    document.addEventListener('keydown', onKey);
    document.querySelectorAll('[data-action]').forEach((b) => {
      b.addEventListener('click', () => ACTIONS[b.dataset.action]());
    });
    $('pig-frame').addEventListener('click', toggleLayout);
    document.addEventListener('click', (e) => {
      if (state.layout === 'FULL' && state.hidden && !e.target.closest('.panel')) showPanels();
    });
    window.addEventListener('resize', applyLayout);

    // "#pig" opens in the guide layout (handy for a first look and for screenshots).
    if (location.hash === '#pig') state.layout = 'PIG';
    applyLayout();
    play(0);
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
