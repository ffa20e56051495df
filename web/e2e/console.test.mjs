// The web console in a real browser (Debian's Chromium, headless), against a
// corvan-server started for the tests. One server and one browser for the
// whole file; the tests run in order and build on each other.
import { after, before, describe, test } from 'node:test'
import assert from 'node:assert/strict'
import fs from 'node:fs'
import { ask, envelope, kScale, launchBrowser, loginInBrowser, newPage, request, screenshot, Server, waitFor } from './support.mjs'

const kAdmin = 'admin1'
const kPassword = 'first-pass-123'
const kMetricsToken = 'scrape-token-42'
const kMarkup = '<img src=x onerror=alert(1)>'

const server = new Server()
let browser
let page

before(async () => {
  await server.start({ settings: `metrics_token = ${kMetricsToken}\n` })
  const added = server.ctl(['web', 'admin', 'add', kAdmin], `${kPassword}\n`)
  assert.equal(added.status, 0, added.stderr)
  const enabled = server.ctl(['web', 'enable', '--port', String(server.webPort), '--bind', '127.0.0.1'])
  assert.equal(enabled.status, 0, enabled.stderr + enabled.stdout)
  assert.match(enabled.stdout, /证书 SHA-256 指纹：([0-9A-F]{2}:){31}[0-9A-F]{2}/)
  browser = await launchBrowser()
  page = await newPage(browser)
})

after(async () => {
  if (browser) await browser.close()
  await server.stop()
})

// A call of the API from the logged-in page, with the session's CSRF token
// for a change; resolves with the reply's JSON whatever its status.
async function api(path, body) {
  return page.evaluate(async ([path, body]) => {
    const headers = { 'Content-Type': 'application/json' }
    if (body !== undefined) headers['X-CSRF-Token'] = (await fetch('/api/session').then((r) => r.json())).csrf
    const r = await fetch(path, body === undefined ? {} : { method: 'POST', headers, body: JSON.stringify(body) })
    return r.json()
  }, [path, body])
}

describe('the web console', () => {
  test('an administrator made with corvanctl logs in for the first time', async () => {
    await loginInBrowser(page, server.url, kAdmin, kPassword)
    await page.locator('[data-test=dashboard]').waitFor()
    assert.equal(await page.locator('.admin').innerText(), `管理员：${kAdmin}`)
    await page.locator('.chart canvas').first().waitFor()
    await screenshot(page, 'dashboard')
  })

  test('/api is closed to anyone not logged in', async () => {
    for (const [method, path] of [['GET', '/api/dashboard'], ['GET', '/api/users'], ['GET', '/api/online'],
      ['GET', '/api/log/stream'], ['GET', '/api/users/ADMIN'], ['GET', '/api/nowhere'], ['POST', '/api/commands/status']]) {
      const r = await request(server.url + path, { method, headers: { 'Content-Type': 'application/json' }, body: method === 'POST' ? '{}' : undefined })
      assert.equal(r.status, 401, `${method} ${path}`)
    }
    const health = await request(server.url + '/healthz')
    assert.equal(health.status, 200)
    assert.equal(JSON.parse(health.body).listening, true)
  })

  test('a change without the CSRF token is refused', async () => {
    const statuses = await page.evaluate(async () => {
      const call = (headers) => fetch('/api/commands/org-add', {
        method: 'POST', headers: { 'Content-Type': 'application/json', ...headers }, body: JSON.stringify({ parent: 'Root', name: '无令牌部门' }),
      }).then((r) => r.status)
      return [await call({}), await call({ 'X-CSRF-Token': 'not-the-token' })]
    })
    assert.deepEqual(statuses, [403, 403])
    const tree = await page.evaluate(() => fetch('/api/orgs').then((r) => r.json()))
    assert.doesNotMatch(JSON.stringify(tree), /无令牌部门/)
  })

  test('a department and an account made in the browser reach a protocol client', async () => {
    await page.goto(`${server.url}/#/orgs`)
    await page.locator('[data-test=org-tree]').getByText('组织机构', { exact: true }).click()
    await page.locator('[data-test=org-add]').click()
    await page.locator('.el-message-box input').fill('研发部')
    await page.locator('.el-message-box .el-button--primary').click()
    await page.locator('[data-test=org-tree]').getByText('研发部', { exact: true }).click()
    await screenshot(page, 'tree')

    await page.locator('[data-test=user-add]').click()
    const editor = page.locator('[data-test=user-editor]')
    await editor.locator('[data-test=field-username]').fill('zhangsan')
    await editor.locator('[data-test=field-pwd]').fill('pw-123')
    await editor.locator('[data-test=field-nickname]').fill('张三')
    await editor.locator('[data-test=field-title]').fill('工程师')
    await screenshot(page, 'account-editor')
    await editor.locator('[data-test=editor-ok]').click()
    await page.locator('[data-test=user-table]').getByText('ZHANGSAN', { exact: true }).waitFor()

    const orgs = await page.evaluate(() => fetch('/api/orgs').then((r) => r.json()))
    const dept = orgs.data.tree.children.find((c) => c.organizename === '研发部')
    const list = await ask(server.port, envelope('GetUserlist', {}))
    assert.match(list, new RegExp(`<username>ZHANGSAN</username><nickname>张三</nickname><OrgNo>${dept.organizeNo}</OrgNo>`))
  })

  test("the log tail shows a client's login within 2 s", async () => {
    await page.goto(`${server.url}/#/log`)
    await page.locator('[data-test=log-lines]').waitFor()
    await waitFor(() => page.locator('.el-tag--success').count(), 5000, 'the live stream')
    const reply = await ask(server.port, envelope('Loginin', { username: 'zhangsan', pwd: 'pw-123' }))
    assert.match(reply, /张三|Succeed|success/i)
    const start = Date.now()
    await page.locator('[data-test=log-lines]').getByText('用户：ZHANGSAN登录!').waitFor({ timeout: 2000 * kScale })
    assert.ok(Date.now() - start <= 2000 * kScale)
    await page.locator('[data-test=log-search]').fill('ZHANGSAN')
    assert.equal(await page.locator('[data-test=log-lines] .line').count(), 1)
  })

  test('a nickname holding markup is shown as text in the account list and the editor', async () => {
    const reply = await ask(server.port, envelope('Reg', { username: 'xss1', pwd: 'pw-1', nickname: kMarkup, organizeNo: '001' }))
    assert.match(reply, /success/)
    await page.goto(`${server.url}/#/users`)
    await page.locator('[data-test=user-search]').fill('xss1')
    const table = page.locator('[data-test=user-table]')
    await table.getByText(kMarkup, { exact: true }).waitFor()
    assert.equal(await table.locator('img').count(), 0)
    await table.getByText('XSS1', { exact: true }).dblclick()
    const nick = page.locator('[data-test=user-editor] [data-test=field-nickname]')
    await waitFor(async () => (await nick.inputValue()) === kMarkup, 5000, 'the editor to load')
    assert.equal(await page.locator('[data-test=user-editor] [data-test=field-pwd]').inputValue(), '')
    assert.equal(page.alerted, undefined)
  })

  test('ticks in the account list: all of a page, only the listed kept, an empty list', async () => {
    await page.goto(`${server.url}/#/users`)
    await page.reload()
    const table = page.locator('[data-test=user-table]')
    await table.getByText('ZHANGSAN', { exact: true }).waitFor()
    await screenshot(page, 'accounts')
    const rows = await table.locator('tr.el-table__row').count()
    assert.ok(rows >= 2)
    await table.locator('[data-test=user-pick-all]').check()
    assert.equal(await table.locator('[data-test=user-pick]:checked').count(), rows)
    assert.ok(await page.locator('[data-test=user-edit]').isDisabled())
    assert.ok(await page.locator('[data-test=user-delete]').isEnabled())
    // A search leaves one of the ticked accounts listed: only that one stays
    // ticked, so nothing hidden is moved or deleted.
    await page.locator('[data-test=user-search]').fill('xss1')
    await waitFor(async () => (await table.locator('tr.el-table__row').count()) === 1, 5000, 'the search')
    assert.ok(await table.locator('[data-test=user-pick]').isChecked())
    assert.ok(await table.locator('[data-test=user-pick-all]').isChecked())
    await waitFor(() => page.locator('[data-test=user-edit]').isEnabled(), 5000, 'one account ticked')
    // The tick that was hidden is gone when the account is listed again.
    await page.locator('[data-test=user-search]').fill('')
    await waitFor(async () => (await table.locator('tr.el-table__row').count()) === rows, 5000, 'the whole list')
    assert.ok(!(await table.locator('tr', { hasText: 'ZHANGSAN' }).locator('[data-test=user-pick]').isChecked()))
    assert.ok(await table.locator('tr', { hasText: 'XSS1' }).locator('[data-test=user-pick]').isChecked())
    await page.locator('[data-test=user-search]').fill('nobody-by-this-name')
    await table.getByText('暂无数据', { exact: true }).waitFor()
    assert.ok(await table.locator('[data-test=user-pick-all]').isDisabled())
    assert.ok(await page.locator('[data-test=user-move]').isDisabled())
  })

  test('/metrics is closed without the token from another address', async () => {
    const local = await request(server.url + '/metrics', { localAddress: '127.0.0.1' })
    assert.equal(local.status, 200)
    assert.match(local.body, /^corvan_logins_total 1$/m)
    assert.match(local.body, /^corvan_requests_total\{type="GetUserlist"\} 1$/m)
    const other = await request(server.url + '/metrics', { localAddress: '127.0.0.2' })
    assert.equal(other.status, 401)
    const wrong = await request(server.url + '/metrics', { localAddress: '127.0.0.2', headers: { Authorization: 'Bearer nope' } })
    assert.equal(wrong.status, 401)
    const token = await request(server.url + '/metrics', { localAddress: '127.0.0.2', headers: { Authorization: `Bearer ${kMetricsToken}` } })
    assert.equal(token.status, 200)
    assert.match(token.body, /^process_open_fds \d+$/m)
  })

  test('editing, moving and deleting an account and a department', async () => {
    const tree = page.locator('[data-test=org-tree]')
    const addOrg = async (parent, name) => {
      await tree.getByText(parent, { exact: true }).click()
      await page.locator('[data-test=org-add]').click()
      await page.locator('.el-message-box input').fill(name)
      await page.locator('.el-message-box .el-button--primary').click()
      await tree.getByText(name, { exact: true }).waitFor()
    }
    const pick = async (select, name) => {
      await page.locator(`.el-select[data-test=${select}]`).click()
      await page.locator('.el-select-dropdown').filter({ visible: true }).getByText(name, { exact: true }).click()
    }
    const confirm = () => page.locator('.el-message-box .el-button--primary').click()
    const account = async (name) => (await api(`/api/users?q=${name}`)).users.find((u) => u.username === name)

    await page.goto(`${server.url}/#/orgs`)
    await addOrg('组织机构', '市场部')
    await addOrg('组织机构', '临时部')

    // The department moves with its account; its code and the account's follow.
    await tree.getByText('研发部', { exact: true }).click()
    await page.locator('[data-test=org-move]').click()
    await pick('org-move-target', '市场部')
    await page.locator('[data-test=org-move-ok]').click()
    await waitFor(async () => (await account('ZHANGSAN')).path === '市场部\\研发部', 5000, 'the department to move')
    const orgs = (await api('/api/orgs')).data.tree.children
    const market = orgs.find((c) => c.organizename === '市场部')
    assert.deepEqual(market.children.map((c) => c.organizename), ['研发部'])
    assert.equal((await account('ZHANGSAN')).organizeNo, market.children[0].organizeNo)
    assert.ok(market.children[0].organizeNo.startsWith(market.organizeNo))
    // Not under itself: the choice is disabled, and the server refuses it too.
    await tree.getByText('市场部', { exact: true }).click()
    await page.locator('[data-test=org-move]').click()
    await page.locator('.el-select[data-test=org-move-target]').click()
    const choices = page.locator('.el-select-dropdown').filter({ visible: true })
    await choices.getByText('组织机构', { exact: true }).waitFor()
    assert.deepEqual(await choices.locator('.is-disabled').allInnerTexts(), ['市场部', '研发部'])
    await screenshot(page, 'org-move')
    await page.keyboard.press('Escape')
    await page.locator('.el-dialog').filter({ visible: true }).getByText('取消').click()
    const cycle = await api('/api/commands/org-move', { organizeNo: market.organizeNo, parent: market.children[0].organizeNo })
    assert.equal(cycle.message, '不能把部门移到它自己或它的下级部门下')

    // The account is edited, then moved out of the department again.
    await page.goto(`${server.url}/#/users`)
    await page.locator('[data-test=user-search]').fill('zhangsan')
    const table = page.locator('[data-test=user-table]')
    await table.getByText('ZHANGSAN', { exact: true }).dblclick()
    const nick = page.locator('[data-test=user-editor] [data-test=field-nickname]')
    await waitFor(async () => (await nick.inputValue()) === '张三', 5000, 'the editor to load')
    await nick.fill('张三丰')
    await page.locator('[data-test=editor-ok]').click()
    await table.getByText('张三丰', { exact: true }).waitFor()
    await table.locator('tr', { hasText: 'ZHANGSAN' }).locator('[data-test=user-pick]').click()
    await page.locator('[data-test=user-move]').click()
    await pick('move-target', '市场部')
    await page.locator('[data-test=move-ok]').click()
    await page.locator('.el-message-box').getByText('是否要将这1个用户加入到市场部下？').waitFor()
    await confirm()
    await waitFor(async () => (await account('ZHANGSAN')).path === '市场部', 5000, 'the account to move')

    // Deleting an account and a department.
    await page.locator('[data-test=user-search]').fill('xss1')
    await table.locator('tr', { hasText: 'XSS1' }).locator('[data-test=user-pick]').click()
    await page.locator('[data-test=user-delete]').click()
    await confirm()
    await waitFor(async () => (await account('XSS1')) === undefined, 5000, 'the account to go')
    await page.goto(`${server.url}/#/orgs`)
    await tree.getByText('临时部', { exact: true }).click()
    await page.locator('[data-test=org-delete]').click()
    await confirm()
    await tree.getByText('临时部', { exact: true }).waitFor({ state: 'detached' })
  })

  test('a CSV import whose bad line is shown, and the export', async () => {
    const market = (await api('/api/orgs')).data.tree.children.find((c) => c.organizename === '市场部').organizeNo
    await page.goto(`${server.url}/#/users`)
    const upload = (name, text) => page.locator('[data-test=csv-file]').setInputFiles({ name, mimeType: 'text/csv', buffer: Buffer.from(text) })
    const report = page.locator('[data-test=csv-report]')

    await upload('bad.csv', `username,pwd,nickname,organizeNo\ncsv1,pw1,导入一,${market}\ncsv2,pw2,导入二,<b>nowhere</b>\n`)
    await report.getByText('第3行：组织不存在：<b>nowhere</b>', { exact: true }).waitFor()
    await report.getByText('导入失败，没有写入任何用户').waitFor()
    assert.equal(await report.locator('b').count(), 0)
    await screenshot(page, 'csv-import')
    assert.equal((await api('/api/users?q=CSV1')).total, 0)

    await upload('good.csv', `username,pwd,nickname,organizeNo\ncsv1,pw1,导入一,${market}\n`)
    await report.getByText('已导入 1 个用户').waitFor()
    await page.locator('[data-test=user-table]').getByText('CSV1', { exact: true }).waitFor()

    const [download] = await Promise.all([page.waitForEvent('download'), page.locator('[data-test=csv-export]').click()])
    assert.equal(download.suggestedFilename(), 'users.csv')
    const csv = fs.readFileSync(await download.path(), 'utf8')
    assert.match(csv, /^username,pwd,nickname,organizeNo,/)
    assert.match(csv, new RegExp(`^CSV1,pw1,导入一,${market},`, 'm'))

    // An upload beyond 10 MiB is refused before it is read.
    const status = await page.evaluate(async (bytes) => {
      const r = await fetch('/api/users/import', { method: 'POST', headers: { 'Content-Type': 'text/csv' }, body: 'x'.repeat(bytes) })
      return r.status
    }, 10 * 1024 * 1024 + 1)
    assert.equal(status, 413)
  })

  test("the audit log listing each change with the administrator's name", async () => {
    await api('/api/commands/org-add', { parent: 'Root', name: kMarkup })
    await page.goto(`${server.url}/#/audit`)
    const table = page.locator('[data-test=audit-table]')
    await table.getByText('org move', { exact: true }).first().waitFor()
    for (const op of ['org add', 'user add', 'org move', 'user set', 'move', 'user del', 'org del', 'user import', 'user export']) {
      const row = table.locator('.el-table__row', { has: page.getByText(op, { exact: true }) }).first()
      const text = await row.innerText()
      assert.match(text, new RegExp(`${kAdmin}[\\s\\S]*网页控制台[\\s\\S]*127\\.0\\.0\\.1`), `${op}: ${text}`)
    }
    assert.equal(await table.locator('img').count(), 0)
    assert.equal(await table.getByText(`name=${kMarkup}`).count(), 1)
    await screenshot(page, 'audit')

    await page.locator('[data-test=audit-op]').click()
    await page.locator('.el-select-dropdown').filter({ visible: true }).getByText('org move', { exact: true }).click()
    await waitFor(async () => (await table.locator('.el-table__row').count()) === 2, 5000, 'the operation filter')
    assert.match(await table.locator('.el-table__row').nth(0).innerText(), /不能把部门移到它自己或它的下级部门下/)
    assert.match(await table.locator('.el-table__row').nth(1).innerText(), /成功/)
    await page.locator('[data-test=audit-kind]').click()
    await page.locator('.el-select-dropdown').filter({ visible: true }).getByText('corvanctl', { exact: true }).click()
    await table.getByText('暂无数据').waitFor()
    const all = (await api('/api/audit?actor=web')).data.rows
    assert.ok(all.length >= 9 && all.every((r) => r.actor === kAdmin && r.origin === '127.0.0.1'))
    assert.equal((await api('/api/audit?actor=robot')).message, '未知的操作者类别：robot')
  })

  test('an idle session expires', async () => {
    const conf = `${server.home}/WebConsole.conf`
    const fs = await import('node:fs')
    fs.writeFileSync(conf, fs.readFileSync(conf, 'utf8').replace(/idle_timeout_seconds = \d+/, 'idle_timeout_seconds = 2'))
    assert.equal(server.ctl(['web', 'enable']).status, 0)
    const idle = await newPage(browser)
    await loginInBrowser(idle, server.url, kAdmin, kPassword)
    await idle.locator('[data-test=dashboard]').waitFor()
    await new Promise((r) => setTimeout(r, 3000))
    await idle.locator('[data-page=online]').click()
    await idle.getByText('会话已过期，请重新登录').waitFor()
    await idle.context().close()
  })

  test('a wrong password is throttled', async () => {
    assert.equal(server.ctl(['web', 'admin', 'add', 'admin2'], 'second-pass-123\n').status, 0)
    const p = await newPage(browser)
    for (let i = 0; i < 5; i++) {
      await loginInBrowser(p, server.url, 'admin2', 'wrong-password')
      await p.locator('[data-test=login-error]').getByText('管理员名称或密码错误').waitFor()
    }
    await loginInBrowser(p, server.url, 'admin2', 'second-pass-123')
    await p.locator('[data-test=login-error]').getByText(/登录失败次数过多/).waitFor()
    await p.context().close()
  })
})
