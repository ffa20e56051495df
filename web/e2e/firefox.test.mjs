// The web console in Debian's Firefox ESR (headless, at 1366x768), against a
// corvan-server started for the tests: the paths an administrator takes
// most, in order, each building on the one before.
import { after, before, describe, test } from 'node:test'
import assert from 'node:assert/strict'
import { ask, envelope, kScale, launchFirefox, screenshot, Server } from './support.mjs'

const kAdmin = 'foxadmin'
const kPassword = 'fox-pass-123'

const server = new Server()
let firefox
let page

before(async () => {
  await server.start()
  assert.equal(server.ctl(['web', 'admin', 'add', kAdmin], `${kPassword}\n`).status, 0)
  const enabled = server.ctl(['web', 'enable', '--port', String(server.webPort), '--bind', '127.0.0.1'])
  assert.equal(enabled.status, 0, enabled.stderr + enabled.stdout)
  firefox = await launchFirefox()
  page = await firefox.browser.newPage()
  page.setDefaultTimeout(15000 * kScale)
})

after(async () => {
  if (firefox) await firefox.close()
  await server.stop()
})

const get = (path) => page.evaluate((p) => fetch(p).then((r) => r.json()), path)
const text = async (selector) => (await page.waitForSelector(selector)).evaluate((e) => e.textContent.trim())
// Clicks the element of `scope` whose text is exactly `label`.
const clickText = (scope, label) => page.locator(`${scope} ::-p-text(${label})`).click()
const waitText = (scope, label) => page.waitForSelector(`${scope} ::-p-text(${label})`)

// Whether every chart canvas on the dashboard has something drawn in it.
const chartsDrawn = () => {
  const canvases = [...document.querySelectorAll('[data-test=dashboard] .chart canvas')]
  return canvases.length === 2 && canvases.every((c) => {
    if (!c.width || !c.height) return false
    const pixels = c.getContext('2d').getImageData(0, 0, c.width, c.height).data
    for (let i = 3; i < pixels.length; i += 4) if (pixels[i]) return true
    return false
  })
}

describe('the web console in Firefox', () => {
  test('the administrator logs in and the dashboard shows its figures and charts', async () => {
    await page.goto(server.url)
    await page.locator('[data-test=login-name]').fill(kAdmin)
    await page.locator('[data-test=login-password]').fill(kPassword)
    await page.locator('[data-test=login-submit]').click()
    await page.waitForSelector('[data-test=dashboard]')
    assert.equal(await text('.admin'), `管理员：${kAdmin}`)
    assert.deepEqual(await page.evaluate(() => [window.innerWidth, window.innerHeight]), [1366, 768])
    const figures = await get('/api/dashboard')
    assert.equal(await text('[data-test=stat-users] .el-statistic__number'), String(figures.users))
    assert.equal(await text('[data-test=stat-online] .el-statistic__number'), String(figures.online))
    await page.waitForFunction(chartsDrawn)
    // Nothing wider than the window: no sideways scrolling at 1366.
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth))
    await screenshot(page, 'firefox-dashboard')
  })

  test('a department and an account made in the browser are listed, and the editor opens on it', async () => {
    await page.goto(`${server.url}/#/orgs`)
    await clickText('[data-test=org-tree]', '组织机构')
    await page.locator('[data-test=org-add]').click()
    await page.locator('.el-message-box input').fill('测试部')
    await page.locator('.el-message-box .el-button--primary').click()
    // The box's overlay fades out over the page: a click before it has gone
    // lands on the overlay, not on the tree.
    await page.waitForSelector('.el-overlay.is-message-box', { hidden: true })
    await clickText('[data-test=org-tree]', '测试部')

    await page.locator('[data-test=user-add]').click()
    await page.locator('[data-test=user-editor] [data-test=field-username]').fill('lisi')
    await page.locator('[data-test=user-editor] [data-test=field-pwd]').fill('pw-456')
    await page.locator('[data-test=user-editor] [data-test=field-nickname]').fill('李四')
    await page.locator('[data-test=editor-ok]').click()
    await waitText('[data-test=user-table]', 'LISI')

    await page.goto(`${server.url}/#/users`)
    // The search's answer shown, so that the double click does not meet the
    // list being reloaded under its loading mask.
    const searched = page.waitForResponse((r) => r.url().includes('q=lisi'))
    await page.locator('[data-test=user-search]').fill('lisi')
    await searched
    await page.waitForSelector('[data-test=user-table][aria-busy=false]')
    const row = await page.waitForSelector('[data-test=user-table] .el-table__row ::-p-text(LISI)')
    assert.match(await page.$eval('[data-test=user-table] .el-table__row', (r) => r.textContent), /LISI\s*李四\s*测试部/)
    await screenshot(page, 'firefox-accounts')
    await row.click({ count: 2 })
    await page.waitForFunction(
      () => document.querySelector('[data-test=user-editor] [data-test=field-nickname]')?.value === '李四')
    assert.equal(await page.$eval('[data-test=user-editor] [data-test=field-pwd]', (e) => e.value), '')
    assert.match(await text('[data-test=user-editor] .el-select[data-test=field-org]'), /^测试部/)
    // The picture once the dialog has finished opening, without the
    // double click's text selection.
    await page.waitForFunction(() => !document.querySelector('[data-test=user-editor] .el-loading-mask') &&
      document.getAnimations().every((a) => a.playState !== 'running' || a.effect.getTiming().iterations === Infinity))
    await page.evaluate(() => window.getSelection().removeAllRanges())
    await screenshot(page, 'firefox-account-editor')
    await clickText('[data-test=user-editor] .el-dialog__footer', '取消')
  })

  test("the log tail shows a client's login", async () => {
    await page.goto(`${server.url}/#/log`)
    await waitText('.el-tag--success', '实时')
    const reply = await ask(server.port, envelope('Loginin', { username: 'lisi', pwd: 'pw-456' }))
    assert.match(reply, /李四|Succeed|success/i)
    await waitText('[data-test=log-lines]', '用户：LISI登录!')
  })
})
