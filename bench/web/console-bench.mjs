// How fast the web console shows a server holding 10,000 accounts, measured
// in Debian's Chromium (headless) against a corvan-server started here:
//
//   (a) the dashboard fully loaded: from navigation start until its figures
//       are shown and both charts are painted;
//   (b) the first page of accounts: from opening the accounts page until the
//       page's rows are in the table, both within the running console (the
//       menu's hash change) and as a fresh load of the page;
//   and the bare time of the API requests behind both, made from the page.
//
// Each is measured several times; the median and the largest are printed
// with the target and whether it was met. Figures are not judged: the exit
// status is non-zero only when the run could not be completed.
//
//   cd web && npm ci && cd ..
//   CORVAN_SERVER_BINARY=build/src/app/corvan-server CORVANCTL_BINARY=build/src/app/corvanctl \
//     node bench/web/console-bench.mjs [--accounts N] [--runs N]
import fs from 'node:fs'
import os from 'node:os'
import path from 'node:path'
import { Server, launchBrowser, loginInBrowser, newPage } from '../../web/e2e/support.mjs'

function option(name, fallback) {
  const i = process.argv.indexOf(name)
  if (i < 0) return fallback
  const v = Number(process.argv[i + 1])
  if (!Number.isInteger(v) || v < 1) throw new Error(`${name} wants a positive whole number`)
  return v
}

const kAccounts = option('--accounts', 10000)
const kRuns = option('--runs', 5)
const kPageSize = 50
const kAdmin = 'benchadmin'
const kPassword = 'bench-pass-123'
const kDashboardTargetMs = 1000
const kFirstPageTargetMs = 200
// Every wait inside the page gives up after this long.
const kPageTimeoutMs = 30000

if (!process.env.CORVAN_SERVER_BINARY || !process.env.CORVANCTL_BINARY)
  throw new Error('set CORVAN_SERVER_BINARY and CORVANCTL_BINARY')

function check(result, what) {
  if (result.status !== 0) throw new Error(`${what} failed: ${result.stderr}${result.stdout}`)
  return result.stdout
}

// One department, then every account in it from one CSV file.
function addAccounts(server) {
  const org = check(server.ctl(['org', 'add', 'Root', '基准部']), 'org add').trim()
  const lines = ['username,pwd,nickname,organizeNo']
  for (let i = 1; i <= kAccounts; ++i) lines.push(`u${String(i).padStart(5, '0')},pw,用户${i},${org}`)
  const csv = path.join(server.home, 'accounts.csv')
  fs.writeFileSync(csv, lines.join('\n') + '\n')
  const started = performance.now()
  check(server.ctl(['user', 'import', csv]), 'user import')
  return performance.now() - started
}

// Runs in the page: resolves with performance.now() (milliseconds since the
// document's navigation start) at the first animation frame where `ready`
// holds. Written as source, like the readiness tests, which go into the
// page as code rather than through eval (the console's policy forbids it).
const kWaitInPage = `(test, timeoutMs) => new Promise((resolve, reject) => {
  const end = performance.now() + timeoutMs
  const frame = () => {
    let ok = false
    try { ok = test() } catch (e) { return reject(e) }
    if (ok) return resolve(performance.now())
    if (performance.now() > end) return reject(new Error('timed out in the page'))
    requestAnimationFrame(frame)
  }
  frame()
})`

// The dashboard's figures shown (the account count among them) and both
// charts painted: a canvas holding anything is one echarts has drawn into.
const dashboardReady = `() => {
  const users = document.querySelector('[data-test=stat-users]')
  if (!users || users.textContent.replace(/\\D/g, '') !== '${kAccounts}') return false
  const canvases = document.querySelectorAll('[data-test=dashboard] .chart canvas')
  if (canvases.length < 2) return false
  for (const c of canvases) {
    if (!c.width || !c.height) return false
    const pixels = c.getContext('2d').getImageData(0, 0, c.width, c.height).data
    let painted = false
    for (let i = 3; i < pixels.length; i += 4) if (pixels[i]) { painted = true; break }
    if (!painted) return false
  }
  return true
}`

const firstPageReady = `() => document.querySelectorAll('[data-test=user-table] tbody tr.el-table__row').length >= ${Math.min(kPageSize, kAccounts)}`

// Where a fresh load spent its time: when the script had arrived and when the
// first API request went out, from navigation start.
async function loadPhases(page) {
  return page.evaluate(() => {
    const resources = performance.getEntriesByType('resource')
    const script = resources.find((r) => /\/assets\/.*\.js$/.test(r.name))
    const firstApi = resources.find((r) => new URL(r.name).pathname.startsWith('/api/'))
    return { script: script ? script.responseEnd : NaN, api: firstApi ? firstApi.startTime : NaN }
  })
}

async function waitInPage(page, ready) {
  return page.evaluate(`(${kWaitInPage})(${ready}, ${kPageTimeoutMs})`)
}

// A fresh load of `hash`, timed from navigation start.
async function freshLoad(page, url, hash, ready) {
  await page.goto('about:blank')
  await page.goto(`${url}/${hash}`, { waitUntil: 'commit' })
  return waitInPage(page, ready)
}

// The accounts page opened from the dashboard within the running console:
// how long until its rows are shown, and the longest task of the page's
// main thread (the longest the page stayed frozen) meanwhile.
async function openAccounts(page, url) {
  await freshLoad(page, url, '#/', dashboardReady)
  return page.evaluate(`(async () => {
    const wait = ${kWaitInPage}
    const tasks = []
    const observer = new PerformanceObserver((list) => tasks.push(...list.getEntries().map((e) => e.duration)))
    observer.observe({ type: 'longtask' })
    const start = performance.now()
    window.location.hash = '#/users'
    const took = (await wait(${firstPageReady}, ${kPageTimeoutMs})) - start
    // A task's entry is delivered after it ends: the one that drew the rows
    // comes a little later.
    await new Promise((resolve) => setTimeout(resolve, 200))
    observer.disconnect()
    return { took, longest: Math.max(0, ...tasks) }
  })()`)
}

// The bare time of one API request made from the page, checked by `valid`.
async function timeRequest(page, url, valid) {
  const [took, status, body] = await page.evaluate(async (url) => {
    const start = performance.now()
    const r = await fetch(url)
    const body = await r.json()
    return [performance.now() - start, r.status, body]
  }, url)
  if (status !== 200 || !valid(body)) throw new Error(`${url} answered ${status}: ${JSON.stringify(body).slice(0, 200)}`)
  return took
}

function median(values) {
  const s = [...values].sort((a, b) => a - b)
  const m = Math.floor(s.length / 2)
  return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2
}

function report(what, values, targetMs) {
  const ms = (v) => `${v.toFixed(1)} ms`
  const max = Math.max(...values)
  console.log(`${what}: median ${ms(median(values))}, max ${ms(max)}  (${values.map((v) => v.toFixed(1)).join(', ')})`)
  if (targetMs !== undefined) console.log(`  target ${targetMs} ms (max): ${max <= targetMs ? 'met' : 'MISSED'}`)
}

const server = new Server()
let browser
let status = 0
try {
  await server.start()
  console.log(`${kAccounts} accounts imported in ${(addAccounts(server) / 1000).toFixed(1)} s`)
  check(server.ctl(['web', 'admin', 'add', kAdmin], `${kPassword}\n`), 'web admin add')
  check(server.ctl(['web', 'enable', '--port', String(server.webPort), '--bind', '127.0.0.1']), 'web enable')
  browser = await launchBrowser()
  const page = await newPage(browser)
  await loginInBrowser(page, server.url, kAdmin, kPassword)
  await waitInPage(page, dashboardReady)
  // One unmeasured pass of each, so the figures are those of a warm server.
  await openAccounts(page, server.url)

  const dashboard = []
  const scriptArrived = []
  const firstRequest = []
  const opened = []
  const openedLongest = []
  const fresh = []
  const requests = {
    [`/api/users?page=1&size=${kPageSize}`]: (body) => body.total === kAccounts && body.users.length === Math.min(kPageSize, kAccounts),
    '/api/dashboard': (body) => body.users === kAccounts,
    '/api/charts?hours=24': (body) => Array.isArray(body.online),
  }
  const api = Object.fromEntries(Object.keys(requests).map((url) => [url, []]))
  for (let i = 0; i < kRuns; ++i) {
    dashboard.push(await freshLoad(page, server.url, '#/', dashboardReady))
    const phases = await loadPhases(page)
    scriptArrived.push(phases.script)
    firstRequest.push(phases.api)
    const open = await openAccounts(page, server.url)
    opened.push(open.took)
    openedLongest.push(open.longest)
    fresh.push(await freshLoad(page, server.url, '#/users', firstPageReady))
    for (const [url, valid] of Object.entries(requests)) api[url].push(await timeRequest(page, url, valid))
  }
  console.log(`web console, ${kAccounts} accounts, ${kRuns} runs each (${os.loadavg().map((l) => l.toFixed(2)).join(' ')} load)`)
  report('dashboard fully loaded (fresh load)', dashboard, kDashboardTargetMs)
  report('  of which: the script arrived', scriptArrived)
  report('  of which: the first API request sent', firstRequest)
  report('first page of accounts (opened in the console)', opened, kFirstPageTargetMs)
  report('  of which: the longest task', openedLongest)
  report('first page of accounts (fresh load of the page)', fresh)
  for (const [url, times] of Object.entries(api)) report(`GET ${url} (from the page)`, times)
} catch (e) {
  console.error(`console-bench: ${e.stack || e}`)
  status = 1
} finally {
  // Closing the browser ends the processes it started; the server is stopped
  // by its PID (and killed by it when the bench process exits otherwise).
  if (browser) await browser.close().catch((e) => console.error(`console-bench: closing the browser: ${e}`))
  await server.stop()
}
process.exit(status)
