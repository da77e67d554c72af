// The console in headless chromium: argv = page URL, screenshot directory,
// path of the camera's JPEG. Prints one "ok ..." line per check; exits 1 at
// the first failure with what the page showed.
"use strict";
const fs = require("fs");
const path = require("path");
const puppeteer = require("puppeteer-core");

const [url, shots, jpegPath] = process.argv.slice(2);
const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";

function fail(msg) { throw new Error(msg); }

async function waitText(page, sel, pred, what, timeout = 30000) {
  try {
    await page.waitForFunction((s, p) => {
      const el = document.querySelector(s);
      return el && new Function("t", "return " + p)(el.textContent);
    }, { timeout, polling: 200 }, sel, pred);
  } catch (e) {
    const text = await page.$eval(sel, (el) => el.textContent).catch(() => "(missing)");
    fail(what + ": " + sel + " shows " + JSON.stringify(text.slice(0, 500)));
  }
}

(async () => {
  const profile = fs.mkdtempSync(path.join(shots, "profile-"));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--autoplay-policy=no-user-gesture-required"],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 1100 });
  const logs = [];
  page.on("console", (m) => logs.push("console: " + m.text()));
  page.on("pageerror", (e) => logs.push("pageerror: " + e.message));
  try {
    await page.goto(url, { waitUntil: "load" });

    // Devices: online with the properties it posted.
    await waitText(page, "#devices tbody tr .state", "t === 'online'", "device online");
    await waitText(page, "#devices tbody tr .props", "t.includes('=')", "properties shown");
    console.log("ok device online with properties");

    // A property set round-trips; a bad one shows the camera's error.
    await page.$eval("#set-json", (el) => { el.value = '{"MicSwitch":1}'; });
    await page.click("#set-btn");
    await waitText(page, "#set-result", "t.startsWith('reply ') && t.includes('\"code\":200')", "property set reply");
    await page.$eval("#set-json", (el) => { el.value = '{"NoSuchProperty":1}'; });
    await page.click("#set-btn");
    await waitText(page, "#set-result", "t.startsWith('refused ') || (t !== 'waiting for the camera...' && !t.startsWith('reply '))",
                   "bad property error");
    const cls = await page.$eval("#set-result", (el) => el.className);
    const shown = await page.$eval("#set-result", (el) => el.textContent);
    if (!cls.includes("error") || !shown.includes("NoSuchProperty")) fail("bad property set shows " + shown);
    console.log("ok property set round trip; bad one shows: " + shown);
    await page.screenshot({ path: path.join(shots, "devices.png") });

    // Snapshot: the image the page loads is the camera's JPEG.
    await page.click("#snapshot-btn");
    await page.waitForFunction(() => {
      const i = document.getElementById("snapshot-img");
      return i.dataset.key && i.complete && i.naturalWidth > 0;
    }, { timeout: 40000, polling: 200 }).catch(async () =>
      fail("snapshot: " + await page.$eval("#snapshot-result", (el) => el.textContent)));
    const key = await page.$eval("#snapshot-img", (i) => i.dataset.key);
    const bytes = await page.evaluate(async (k) => {
      const r = await fetch("/object/" + k);
      return Array.from(new Uint8Array(await r.arrayBuffer()));
    }, key);
    const want = fs.readFileSync(jpegPath);
    if (!Buffer.from(bytes).equals(want)) fail("snapshot " + key + " differs from " + jpegPath);
    console.log("ok snapshot " + key + " equals " + jpegPath + " (" + want.length + " bytes)");
    await page.screenshot({ path: path.join(shots, "snapshot.png") });

    // Live: the video plays for at least 5 s of media and is not blank.
    await page.click("#watch-btn");
    await waitText(page, "#live-result", "t.startsWith('watching ')", "watch", 40000);
    const stream = (await page.$eval("#live-result", (el) => el.textContent)).split(" ")[1];
    await page.waitForFunction(() => document.getElementById("live-video").currentTime > 0.5,
                               { timeout: 40000, polling: 200 })
      .catch(async () => fail("live video never started: " +
        await page.$eval("#live-result", (el) => el.textContent)));
    const t0 = await page.$eval("#live-video", (v) => v.currentTime);
    await page.waitForFunction((t) => document.getElementById("live-video").currentTime >= t + 5,
                               { timeout: 60000, polling: 250 }, t0)
      .catch(() => fail("live currentTime stalled after " + t0));
    const t1 = await page.$eval("#live-video", (v) => v.currentTime);
    const video = await page.$("#live-video");
    await video.screenshot({ path: path.join(shots, "live.png") });
    // Not blank: the frame drawn to a canvas has varied pixels.
    const spread = await page.$eval("#live-video", (v) => {
      const c = document.createElement("canvas");
      c.width = 160; c.height = 90;
      const g = c.getContext("2d");
      g.drawImage(v, 0, 0, c.width, c.height);
      const d = g.getImageData(0, 0, c.width, c.height).data;
      let min = 255, max = 0;
      for (let i = 0; i < d.length; i += 4) {
        const y = (d[i] + d[i + 1] + d[i + 2]) / 3;
        if (y < min) min = y;
        if (y > max) max = y;
      }
      return max - min;
    });
    if (spread < 30) fail("live frame looks blank (luma spread " + spread + ")");
    console.log("ok live " + stream + " played from " + t0.toFixed(2) + " to " + t1.toFixed(2) +
                " s, frame luma spread " + spread.toFixed(0));
    await page.click("#stop-btn");
    await waitText(page, "#live-result", "t.startsWith('stopped ')", "stop", 40000);

    // The events list shows the camera's relay report of that stream.
    await waitText(page, "#events", "t.includes('recvPushTs') && t.includes('handshakeTs')",
                   "relay report in events", 30000);
    console.log("ok events list shows the relay report");
    await page.screenshot({ path: path.join(shots, "events.png"), fullPage: true });

    // A recorded object in storage plays.
    if (process.env.RECORDED) {
      await page.click("#objects-btn");
      const sel = "#recordings li";
      await page.waitForSelector(sel, { timeout: 20000 });
      const rkey = await page.$eval(sel, (li) => li.dataset.key);
      await page.click(sel);
      await page.waitForFunction(() => document.getElementById("record-video").currentTime > 2,
                                 { timeout: 40000, polling: 250 })
        .catch(async () => fail("recorded object did not play: " +
          JSON.stringify(await page.$eval("#record-video", (v) => ({ err: v.error && v.error.message, rs: v.readyState })))));
      await (await page.$("#record-video")).screenshot({ path: path.join(shots, "recording.png") });
      console.log("ok recorded object " + rkey + " plays");
    }

    // Playback: today's record list, one record played with a pause and a
    // seek sent while it runs.
    if (process.env.PLAYBACK) {
      await page.click("#records-btn");
      await waitText(page, "#vod-result", "/^[1-9][0-9]* records$/.test(t)", "record list", 20000);
      const rname = await page.$eval("#records li", (li) => li.dataset.name);
      await page.click("#records li");
      await waitText(page, "#vod-result", "t.startsWith('playing ')", "playback start", 40000);
      await page.waitForFunction(() => document.getElementById("vod-video").currentTime > 1,
                                 { timeout: 40000, polling: 250 })
        .catch(async () => fail("playback video never played: " + await page.$eval("#vod-result", (el) => el.textContent)));
      await page.click("#vod-pause");
      await waitText(page, "#vod-result", "t === 'pause sent'", "pause");
      await page.click("#vod-resume");
      await waitText(page, "#vod-result", "t === 'unpause sent'", "resume");
      await page.click("#vod-seek");
      await waitText(page, "#vod-result", "t === 'seek sent'", "seek");
      await (await page.$("#vod-video")).screenshot({ path: path.join(shots, "playback.png") });
      await page.click("#vod-stop");
      console.log("ok playback of " + rname + " played, paused, resumed and seeked");
    }

    // Talk: a WAV goes down, what the camera sent up comes back playable.
    if (process.env.TALK_WAV) {
      await (await page.$("#talk-file")).uploadFile(process.env.TALK_WAV);
      await page.click("#talk-btn");
      await waitText(page, "#talk-result", "t.startsWith('sent ')", "talk", 60000);
      await page.waitForFunction(() => { const a = document.getElementById("talk-audio"); return a.readyState >= 1 && a.duration > 0.5; },
                                 { timeout: 20000, polling: 250 })
        .catch(() => fail("the camera's audio does not load"));
      const dur = await page.$eval("#talk-audio", (a) => a.duration);
      console.log("ok talk: the camera's uplink loads in the page (" + dur.toFixed(2) + " s)");
    }

    // Firmware: pushed from the page, the progress reaches 100.
    if (process.env.FIRMWARE) {
      await (await page.$("#fw-file")).uploadFile(process.env.FIRMWARE);
      await page.$eval("#fw-version", (el) => { el.value = "9.9.9-web"; });
      await page.click("#fw-btn");
      await waitText(page, "#fw-result", "t.startsWith('announced ')", "firmware push");
      await page.waitForFunction(() => document.getElementById("fw-progress").value === 100,
                                 { timeout: 60000, polling: 250 })
        .catch(async () => fail("firmware progress stopped at " + await page.$eval("#fw-step", (el) => el.textContent)));
      console.log("ok firmware pushed, progress 100");
    }
    await page.screenshot({ path: path.join(shots, "console.png"), fullPage: true });
  } catch (e) {
    await page.screenshot({ path: path.join(shots, "failure.png"), fullPage: true }).catch(() => {});
    console.log("FAIL " + e.message);
    console.log(logs.slice(-30).join("\n"));
    await browser.close();
    process.exit(1);
  }
  await browser.close();
  fs.rmSync(profile, { recursive: true, force: true });
})();
