// What the browser tests stand on: a corvan-server started in a data folder
// of its own (stopped by its PID), corvanctl run against it, a protocol
// client over TCP, HTTPS calls that accept the test's self-signed
// certificate, Debian's Chromium driven by playwright-core, and Debian's
// Firefox ESR driven by puppeteer-core over WebDriver BiDi.
import { spawn, spawnSync } from 'node:child_process'
import fs from 'node:fs'
import https from 'node:https'
import net from 'node:net'
import os from 'node:os'
import path from 'node:path'
import { chromium } from 'playwright-core'
import puppeteer from 'puppeteer-core'

export const serverBinary = process.env.CORVAN_SERVER_BINARY
export const ctlBinary = process.env.CORVANCTL_BINARY
export const shotDir = process.env.CORVAN_SCREENSHOT_DIR || path.join(os.tmpdir(), 'corvan-web-shots')
// Sanitizer builds run the server several times slower (tests/support/timing.h).
export const kScale = Math.max(1, Number(process.env.CORVAN_TEST_TIME_SCALE) || 1)

export function freePort(host = '127.0.0.1') {
  return new Promise((resolve, reject) => {
    const s = net.createServer()
    s.once('error', reject)
    s.listen(0, host, () => {
      const { port } = s.address()
      s.close(() => resolve(port))
    })
  })
}

export async function waitFor(predicate, timeoutMs, what) {
  const end = Date.now() + timeoutMs
  for (;;) {
    const v = await predicate()
    if (v) return v
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`)
    await new Promise((r) => setTimeout(r, 100))
  }
}

export class Server {
  constructor() {
    this.home = fs.mkdtempSync(path.join(os.tmpdir(), 'corvan-web-e2e-'))
    this.output = ''
  }

  async start({ settings = '' } = {}) {
    this.port = await freePort()
    this.webPort = await freePort()
    fs.writeFileSync(
      path.join(this.home, 'Configure.xml'),
      `<?xml version="1.0"?><RootNode><Struct><ServerPort>${this.port}</ServerPort><AllowReg>True</AllowReg></Struct></RootNode>`,
    )
    // Settings the test wants before the console is enabled with corvanctl.
    fs.writeFileSync(path.join(this.home, 'WebConsole.conf'), `enabled = no\n${settings}`, { mode: 0o600 })
    this.child = spawn(serverBinary, [], {
      env: { ...process.env, CORVAN_HOME: this.home, CORVAN_HEADLESS: '1', CORVAN_TEST_SAMPLE_INTERVAL_MS: '1000' },
      stdio: ['ignore', 'pipe', 'pipe'],
    })
    // The server goes with the test process, however that ends.
    const child = this.child
    process.once('exit', () => child.exitCode === null && child.kill('SIGKILL'))
    for (const signal of ['SIGTERM', 'SIGINT']) process.once(signal, () => process.exit(1))
    this.child.stdout.on('data', (d) => (this.output += d.toString()))
    this.child.stderr.on('data', (d) => (this.output += d.toString()))
    await waitFor(() => this.output.includes('UDP服务器在') && fs.existsSync(path.join(this.home, 'corvan-admin.sock')),
      15000, 'the server to listen')
    this.url = `https://127.0.0.1:${this.webPort}`
  }

  ctl(args, input) {
    const r = spawnSync(ctlBinary, args, { env: { ...process.env, CORVAN_HOME: this.home }, input: input ?? '', encoding: 'utf8' })
    return { status: r.status, stdout: r.stdout, stderr: r.stderr }
  }

  // Stops the server and removes its data folder, also when it never started
  // or has already ended.
  stop() {
    const removeHome = () => fs.rmSync(this.home, { recursive: true, force: true })
    if (!this.child || this.child.exitCode !== null || this.child.signalCode !== null) {
      removeHome()
      return Promise.resolve()
    }
    process.kill(this.child.pid, 'SIGTERM')
    return new Promise((resolve) => {
      const timer = setTimeout(() => process.kill(this.child.pid, 'SIGKILL'), 10000)
      this.child.once('exit', () => {
        clearTimeout(timer)
        removeHome()
        resolve()
      })
    })
  }
}

// One HTTPS request; resolves with {status, headers, body}. A body goes with
// its length, as a browser sends it, unless the headers say otherwise.
export function request(url, { method = 'GET', headers = {}, body, localAddress } = {}) {
  if (body !== undefined && !Object.keys(headers).some((h) => /^(content-length|transfer-encoding)$/i.test(h)))
    headers = { ...headers, 'Content-Length': Buffer.byteLength(body) }
  return new Promise((resolve, reject) => {
    const req = https.request(url, { method, headers, rejectUnauthorized: false, localAddress }, (res) => {
      let data = ''
      res.setEncoding('utf8')
      res.on('data', (c) => (data += c))
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: data }))
    })
    req.on('error', reject)
    if (body !== undefined) req.write(body)
    req.end()
  })
}

// The protocol: a count line, then the document (GBK; the tests write ASCII).
function escapeXml(s) {
  return s.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;')
}

export function envelope(type, fields) {
  const body = Object.entries(fields).map(([k, v]) => `<${k}>${escapeXml(v)}</${k}>`).join('')
  return `<?xml version="1.0" encoding="GB2312"?>\r\n<RootNode><Type>${type}</Type><Struct>${body}</Struct></RootNode>\r\n`
}

// Sends one request on a new connection and resolves with the reply's text.
export function ask(port, document, timeoutMs = 5000) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1')
    let buf = Buffer.alloc(0)
    const timer = setTimeout(() => {
      socket.destroy()
      reject(new Error('no reply'))
    }, timeoutMs)
    socket.on('connect', () => {
      const bytes = Buffer.from(document, 'latin1')
      socket.write(`${bytes.length}\r\n`)
      socket.write(bytes)
    })
    socket.on('data', (d) => {
      buf = Buffer.concat([buf, d])
      const nl = buf.indexOf('\n')
      if (nl < 0) return
      const count = Number(buf.subarray(0, nl).toString().trim())
      if (buf.length - nl - 1 < count) return
      clearTimeout(timer)
      socket.destroy()
      resolve(new TextDecoder('gbk').decode(buf.subarray(nl + 1, nl + 1 + count)))
    })
    socket.on('error', (e) => {
      clearTimeout(timer)
      reject(e)
    })
  })
}

export async function launchBrowser() {
  return chromium.launch({
    executablePath: process.env.CORVAN_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
  })
}

// Firefox makes connections of its own (updates, telemetry, captive portal
// and connectivity checks, Safe Browsing lists, remote settings): none of
// them can reach out from a test machine, so they are switched off.
const kQuietFirefox = {
  'app.update.enabled': false,
  'app.update.auto': false,
  'app.update.disabledForTesting': true,
  'toolkit.telemetry.enabled': false,
  'toolkit.telemetry.unified': false,
  'toolkit.telemetry.archive.enabled': false,
  'datareporting.healthreport.uploadEnabled': false,
  'datareporting.policy.dataSubmissionEnabled': false,
  'network.captive-portal-service.enabled': false,
  'network.connectivity-service.enabled': false,
  'browser.safebrowsing.malware.enabled': false,
  'browser.safebrowsing.phishing.enabled': false,
  'browser.safebrowsing.downloads.enabled': false,
  'browser.safebrowsing.downloads.remote.enabled': false,
  'browser.safebrowsing.blockedURIs.enabled': false,
  'browser.safebrowsing.update.enabled': false,
  'extensions.update.enabled': false,
  'extensions.getAddons.cache.enabled': false,
  'extensions.blocklist.enabled': false,
  'browser.search.update': false,
  'browser.region.network.url': '',
  'services.settings.server': 'data:,',
  'network.dns.disablePrefetch': true,
  'network.prefetch-next': false,
  'media.gmp-manager.url': '',
  'browser.newtabpage.enabled': false,
  'intl.accept_languages': 'zh-CN',
}

// Debian's Firefox ESR, headless, in a fresh profile folder of its own.
// close() ends it (by its PID when a clean close does not) and removes the
// profile, whatever state the test left it in.
export async function launchFirefox() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'corvan-firefox-'))
  let browser
  try {
    browser = await puppeteer.launch({
      browser: 'firefox',
      executablePath: process.env.CORVAN_FIREFOX || '/usr/bin/firefox-esr',
      headless: true,
      userDataDir: profile,
      acceptInsecureCerts: true,
      defaultViewport: { width: 1366, height: 768 },
      extraPrefsFirefox: kQuietFirefox,
      protocolTimeout: 60000,
    })
  } catch (e) {
    fs.rmSync(profile, { recursive: true, force: true })
    throw e
  }
  const child = browser.process()
  const kill = () => child && child.exitCode === null && child.signalCode === null && child.kill('SIGKILL')
  process.once('exit', kill)
  return {
    browser,
    async close() {
      const closed = browser.close().then(() => true, () => false)
      const inTime = await Promise.race([closed, new Promise((r) => setTimeout(() => r(false), 10000))])
      if (!inTime) kill()
      process.off('exit', kill)
      fs.rmSync(profile, { recursive: true, force: true })
    },
  }
}

export async function newPage(browser) {
  const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width: 1366, height: 768 }, locale: 'zh-CN' })
  const page = await context.newPage()
  page.on('dialog', (d) => {
    page.alerted = d.message()
    d.dismiss()
  })
  return page
}

// Takes a Playwright or a Puppeteer page.
export async function screenshot(page, name) {
  fs.mkdirSync(shotDir, { recursive: true })
  await page.screenshot({ path: path.join(shotDir, `${name}.png`) })
}

export async function loginInBrowser(page, url, name, password) {
  await page.goto(url)
  await page.locator('[data-test=login-name]').fill(name)
  await page.locator('[data-test=login-password]').fill(password)
  await page.locator('[data-test=login-submit]').click()
}
