// Backup, restore and the directory sync in a real browser (Debian's
// Chromium, headless), against a corvan-server started for these tests and
// a slapd of their own. The tests run in order and build on each other.
import { after, before, describe, test } from 'node:test'
import assert from 'node:assert/strict'
import fs from 'node:fs'
import path from 'node:path'
import tls from 'node:tls'
import { kScale, launchBrowser, loginInBrowser, newPage, request, screenshot, Server, waitFor } from './support.mjs'
import { Slapd, kBase, person, slapdInstalled, unit } from './slapd.mjs'

const kAdmin = 'admin1'
const kPassword = 'first-pass-123'
// In CI tools/install-deps.sh installs slapd: a missing one fails there.
const kSkipSlapd = !slapdInstalled() && !process.env.CI && '/usr/sbin/slapd is missing (apt-get install slapd ldap-utils)'

const server = new Server()
const slapd = new Slapd()
let browser
let page
let backupFile

// The web's own scratch files in the data folder (none once a call ended).
const scratch = () => fs.readdirSync(server.home).filter((n) => /^web-(backup|restore)/.test(n))

const csrf = () => page.evaluate(() => fetch('/api/session').then((r) => r.json()).then((s) => s.csrf))

async function errorShown(text) {
  await page.locator('.el-message--error').getByText(text, { exact: true }).waitFor({ timeout: 5000 * kScale })
}

// A request whose head claims `length` bytes of body and sends none.
function claimBody(url, pathName, length) {
  const { hostname, port } = new URL(url)
  return new Promise((resolve, reject) => {
    const socket = tls.connect({ host: hostname, port: Number(port), rejectUnauthorized: false }, () => {
      socket.write(`POST ${pathName} HTTP/1.1\r\nHost: ${hostname}:${port}\r\nContent-Type: application/octet-stream\r\n` +
        `Content-Length: ${length}\r\n\r\n`)
    })
    let data = ''
    socket.setEncoding('utf8')
    socket.on('data', (d) => {
      data += d
      if (/\r\n\r\n[\s\S]*\}/.test(data)) socket.end()
    })
    socket.on('end', () => resolve(data))
    socket.on('close', () => resolve(data))
    socket.on('error', reject)
    socket.setTimeout(10000, () => socket.destroy(new Error('no reply')))
  })
}

before(async () => {
  if (!kSkipSlapd) {
    const rd = `ou=研发部,${kBase}`
    await slapd.start([unit('研发部', kBase), unit('销售部', kBase), person('zhangsan', '张三', rd),
      person('lisi', '李四', rd), person('wangwu', '王五', `ou=销售部,${kBase}`)])
  }
  await server.start()
  if (!kSkipSlapd) slapd.writeSettings(server.home)
  assert.equal(server.ctl(['web', 'admin', 'add', kAdmin], `${kPassword}\n`).status, 0)
  const enabled = server.ctl(['web', 'enable', '--port', String(server.webPort), '--bind', '127.0.0.1'])
  assert.equal(enabled.status, 0, enabled.stderr + enabled.stdout)
  browser = await launchBrowser()
  page = await newPage(browser)
  await loginInBrowser(page, server.url, kAdmin, kPassword)
  await page.locator('[data-test=dashboard]').waitFor()
})

after(async () => {
  if (browser) await browser.close()
  await server.stop()
  await slapd.stop()
  if (backupFile) fs.rmSync(backupFile, { force: true })
})

describe('backup and restore', () => {
  test('a backup downloads as an SQLite database and leaves nothing in the data folder', async () => {
    await page.goto(`${server.url}/#/maintenance`)
    await page.locator('[data-test=server-state]').getByText('运行中').waitFor()
    const [download] = await Promise.all([page.waitForEvent('download'), page.locator('[data-test=backup-download]').click()])
    assert.match(download.suggestedFilename(), /^corvan-backup-\d{8}-\d{6}\.mdb$/)
    backupFile = path.join(server.home, '..', `${path.basename(server.home)}-download.mdb`)
    await download.saveAs(backupFile)
    const head = fs.readFileSync(backupFile).subarray(0, 16)
    assert.equal(head.toString('latin1'), 'SQLite format 3\0')
    await page.locator('.el-message--success').getByText('备份数据成功').waitFor()
    assert.deepEqual(scratch(), [])
    await screenshot(page, 'maintenance')
  })

  test('a restore is refused while the server runs, with the console message', async () => {
    await page.locator('[data-test=restore-file]').setInputFiles(backupFile)
    await errorShown('请先停止服务器')
    // Sent with the answer and the file all the same, it is refused before
    // the file is read; the next call is answered as usual.
    const replies = await page.evaluate(async (csrf) => {
      const bytes = new Uint8Array(4 * 1024 * 1024)
      const r = await fetch('/api/restore?yes=1', { method: 'POST', headers: { 'X-CSRF-Token': csrf }, body: bytes })
      return [await r.json(), (await fetch('/api/sync')).status]
    }, await csrf())
    assert.equal(replies[0].message, '请先停止服务器')
    assert.equal(replies[1], 200)
    assert.deepEqual(scratch(), [])
  })

  test('uploads beyond their bound are refused before they are read', async () => {
    const restore = await claimBody(server.url, '/api/restore', 512 * 1024 * 1024 + 1)
    assert.match(restore, /^HTTP\/1\.1 413/)
    const command = await claimBody(server.url, '/api/commands/announce', 10 * 1024 * 1024 + 1)
    assert.match(command, /^HTTP\/1\.1 413/)
    const chunked = await request(`${server.url}/api/commands/announce`, {
      method: 'POST', headers: { 'Transfer-Encoding': 'chunked', 'Content-Type': 'application/json' }, body: '{}',
    })
    assert.equal(chunked.status, 411)
  })

  test('once stopped, the console question is asked and the upload restores the database', async () => {
    await page.locator('[data-test=server-stop]').click()
    await page.locator('[data-test=server-state]').getByText('已停止').waitFor()
    await page.locator('[data-test=restore-file]').setInputFiles(backupFile)
    const box = page.locator('.el-message-box')
    await box.getByText('是否确定恢复数据？').waitFor()
    await box.getByRole('button', { name: '是' }).click()
    await page.locator('.el-message--success').getByText('恢复数据成功').waitFor({ timeout: 15000 * kScale })
    assert.deepEqual(scratch(), [])
    await page.locator('[data-test=server-start]').click()
    await page.locator('[data-test=server-state]').getByText('运行中').waitFor()
  })
})

describe('the directory sync', { skip: kSkipSlapd }, () => {
  test('a dry run against the test slapd shows its plan as a table', async () => {
    await page.goto(`${server.url}/#/sync`)
    await page.locator('[data-test=sync-plan]').click()
    const table = page.locator('[data-test=sync-plan-table]')
    await table.waitFor({ timeout: 20000 * kScale })
    await table.getByText('新增部门', { exact: true }).first().waitFor()
    await table.getByText(/ZHANGSAN 张三/i).waitFor()
    assert.match(await page.locator('[data-test=sync-result]').innerText(), /试运行/)
    await screenshot(page, 'sync-plan')
    const users = await page.evaluate(() => fetch('/api/users?q=zhangsan').then((r) => r.json()))
    assert.equal(users.total, 0, 'a dry run changes nothing')
  })

  test('applying runs on the server, and both runs are reported', async () => {
    await page.locator('[data-test=sync-apply]').click()
    await page.locator('[data-test=sync-result]').getByText('同步结果').waitFor({ timeout: 20000 * kScale })
    await page.locator('[data-test=sync-summary].el-alert--success').waitFor()
    const state = await page.evaluate(() => fetch('/api/sync').then((r) => r.json()))
    assert.equal(state.running, false)
    assert.deepEqual(state.reports.map((r) => [r.dryRun, r.ok, r.actor]), [[false, true, kAdmin], [true, true, kAdmin]])
    assert.ok(state.reports[1].lines.length >= 5)
    await waitFor(() => page.locator('[data-test=sync-reports] .el-table__row').count().then((n) => n === 2), 5000, 'two reports')
    const users = await page.evaluate(() => fetch('/api/users?q=zhangsan').then((r) => r.json()))
    assert.equal(users.total, 1)
    await screenshot(page, 'sync-applied')
  })

  test('a run goes on off the request threads, shown as progress, and a second waits for it', async () => {
    slapd.pause()
    try {
      await page.locator('[data-test=sync-plan]').click()
      await page.locator('[data-test=sync-progress]').waitFor()
      const statuses = await page.evaluate(async (token) => {
        const again = await fetch('/api/sync', {
          method: 'POST', headers: { 'Content-Type': 'application/json', 'X-CSRF-Token': token }, body: '{"dryRun":true}',
        })
        return [again.status, (await fetch('/api/dashboard')).status, (await (await fetch('/api/sync')).json()).running]
      }, await csrf())
      assert.deepEqual(statuses, [409, 200, true])
      await screenshot(page, 'sync-progress')
    } finally {
      slapd.resume()
    }
    await page.locator('[data-test=sync-progress]').waitFor({ state: 'detached', timeout: 20000 * kScale })
    const state = await page.evaluate(() => fetch('/api/sync').then((r) => r.json()))
    assert.equal(state.reports.length, 3)
  })
})
