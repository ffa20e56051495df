// The console's calls to the server. Every change carries the session's CSRF
// token; a 401 anywhere sends the administrator back to the login page.
import { reactive } from 'vue'
import { ElMessage, ElMessageBox } from 'element-plus'
// Called as functions, these two are out of the template compiler's sight:
// their styles come here.
import 'element-plus/es/components/message/style/css'
import 'element-plus/es/components/message-box/style/css'

export const session = reactive({ name: '', csrf: '', checked: false, expired: false })

export class ApiError extends Error {
  constructor(status, message, body) {
    super(message)
    this.status = status
    this.body = body
  }
}

async function call(method, path, body, { background = false } = {}) {
  const headers = { Accept: 'application/json' }
  if (body !== undefined) headers['Content-Type'] = 'application/json'
  if (method !== 'GET') headers['X-CSRF-Token'] = session.csrf
  if (background) headers['X-Corvan-Background'] = '1'
  const res = await fetch(path, {
    method,
    headers,
    credentials: 'same-origin',
    body: body === undefined ? undefined : JSON.stringify(body),
  })
  return replyOf(res, path)
}

// The JSON of a reply (null when it has none). A 401 outside the login
// ends the session shown; any other failure rejects with an ApiError that
// carries the server's message. With `json: false` a successful reply's
// body is left unread, for the caller to take as a file.
export async function replyOf(res, path, { json = true } = {}) {
  if (res.status === 401 && path !== '/api/login' && session.name) {
    session.name = ''
    session.csrf = ''
    session.expired = true
  }
  if (res.ok && !json) return null
  let data = null
  try {
    data = await res.json()
  } catch {
    data = null
  }
  if (!res.ok) throw new ApiError(res.status, (data && data.message) || res.statusText, data)
  return data
}

export const api = {
  get: (path, options) => call('GET', path, undefined, options),
  post: (path, body = {}) => call('POST', path, body),
}

// Sends a file as the body of a change (the CSV import); resolves with the
// reply. A body the server refuses as too large comes back as an ApiError
// with status 413.
export async function postFile(path, file) {
  const res = await fetch(path, {
    method: 'POST',
    headers: { Accept: 'application/json', 'Content-Type': 'text/csv', 'X-CSRF-Token': session.csrf },
    credentials: 'same-origin',
    body: file,
  })
  return replyOf(res, path)
}

// Hands a fetched file to the browser to save as `name`.
export async function saveDownload(response, name) {
  const url = URL.createObjectURL(await response.blob())
  const a = document.createElement('a')
  a.href = url
  a.download = name
  document.body.appendChild(a)
  a.click()
  a.remove()
  // The browser reads the blob after the click returns: a large one (a
  // backup) needs it a while.
  setTimeout(() => URL.revokeObjectURL(url), 60000)
}

// Asks for a file by a change (the CSV export) and hands it to the browser
// as a download named `filename`.
export async function download(path, filename) {
  const res = await fetch(path, { method: 'POST', headers: { 'X-CSRF-Token': session.csrf }, credentials: 'same-origin' })
  await replyOf(res, path, { json: false })
  await saveDownload(res, filename)
}

export async function login(name, password) {
  const r = await api.post('/api/login', { name, password })
  session.name = r.name
  session.csrf = r.csrf
  session.expired = false
  return r
}

export async function logout() {
  try {
    await api.post('/api/logout')
  } finally {
    session.name = ''
    session.csrf = ''
  }
}

export async function checkSession() {
  try {
    const r = await api.get('/api/session', { background: true })
    session.name = r.name
    session.csrf = r.csrf
  } catch {
    session.name = ''
  } finally {
    session.checked = true
  }
}

// Runs an administrative command. A question of the console's is asked
// here, and the command runs again when the answer is yes. Resolves with the
// reply when it succeeded; shows the message and rejects otherwise.
export async function command(name, args = {}) {
  let reply
  try {
    reply = await api.post(`/api/commands/${name}`, args)
  } catch (e) {
    if (e.status !== 401) ElMessage.error(e.message)
    throw e
  }
  if (!reply.ok && reply.exit === 4) {
    await ElMessageBox.confirm(reply.message, '信息', { confirmButtonText: '是', cancelButtonText: '否', type: 'warning' })
    return command(name, { ...args, yes: true })
  }
  if (!reply.ok) {
    ElMessage.error(reply.message || '操作失败')
    throw new ApiError(200, reply.message, reply)
  }
  if (reply.message) ElMessage.success(reply.message)
  return reply
}

export function formatBytes(n) {
  if (n === undefined || n === null) return '-'
  const units = ['B', 'KB', 'MB', 'GB', 'TB']
  let v = Number(n)
  let i = 0
  while (v >= 1024 && i < units.length - 1) {
    v /= 1024
    i++
  }
  return `${i === 0 ? v : v.toFixed(1)} ${units[i]}`
}
