// The calls behind the maintenance pages that are not plain JSON: the backup
// arrives as a file, the restore sends one. Both carry the session's cookie;
// the restore, a change, its CSRF token.
import { session, ApiError } from './api.js'

async function jsonOf(res) {
  try {
    return await res.json()
  } catch {
    return null
  }
}

function expired(res) {
  if (res.status === 401 && session.name) {
    session.name = ''
    session.csrf = ''
    session.expired = true
  }
}

// Fetches a backup and hands it to the browser to save. Resolves with the
// server's message; rejects with it when the backup failed.
export async function downloadBackup() {
  const res = await fetch('/api/backup', { credentials: 'same-origin' })
  if (!res.ok) {
    expired(res)
    const data = await jsonOf(res)
    throw new ApiError(res.status, (data && data.message) || res.statusText, data)
  }
  const disposition = res.headers.get('Content-Disposition') || ''
  const name = (disposition.match(/filename="([^"]+)"/) || [])[1] || 'corvan-backup.mdb'
  const blob = await res.blob()
  const url = URL.createObjectURL(blob)
  const a = document.createElement('a')
  a.href = url
  a.download = name
  document.body.appendChild(a)
  a.click()
  a.remove()
  setTimeout(() => URL.revokeObjectURL(url), 60000)
  return decodeURIComponent(res.headers.get('X-Corvan-Message') || '')
}

// One restore call: without `file` it asks only the restore's own checks
// (the refusal while the server runs, or the question); with it, the file
// is uploaded and restored. Resolves with the reply.
export async function restoreCall(file) {
  const res = await fetch(file ? '/api/restore?yes=1' : '/api/restore', {
    method: 'POST',
    credentials: 'same-origin',
    headers: { Accept: 'application/json', 'Content-Type': 'application/octet-stream', 'X-CSRF-Token': session.csrf },
    body: file || new Uint8Array(0),
  })
  expired(res)
  const data = await jsonOf(res)
  if (!res.ok) throw new ApiError(res.status, (data && data.message) || res.statusText, data)
  return data
}
