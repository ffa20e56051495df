// The calls behind the maintenance pages that are not plain JSON: the backup
// arrives as a file, the restore sends one. Both carry the session's cookie;
// the restore, a change, its CSRF token.
import { session, replyOf, saveDownload } from './api.js'

// Fetches a backup and hands it to the browser to save. Resolves with the
// server's message; rejects with it when the backup failed.
export async function downloadBackup() {
  const res = await fetch('/api/backup', { credentials: 'same-origin' })
  await replyOf(res, '/api/backup', { json: false })
  const disposition = res.headers.get('Content-Disposition') || ''
  const name = (disposition.match(/filename="([^"]+)"/) || [])[1] || 'corvan-backup.mdb'
  await saveDownload(res, name)
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
  return replyOf(res, '/api/restore')
}
