// A real directory for the browser tests: Debian's slapd on a free loopback
// port, in a folder of its own with a generated slapd.conf, loaded with
// slapadd and stopped by its process id.
import { spawn, spawnSync } from 'node:child_process'
import fs from 'node:fs'
import net from 'node:net'
import os from 'node:os'
import path from 'node:path'
import { freePort, waitFor } from './support.mjs'

export const slapdBinary = '/usr/sbin/slapd'
export const kSuffix = 'dc=example,dc=com'
export const kBase = `ou=Corp,${kSuffix}`
const kAdminDn = `cn=admin,${kSuffix}`
const kAdminPassword = 'secret'

export function slapdInstalled() {
  try {
    fs.accessSync(slapdBinary, fs.constants.X_OK)
    return true
  } catch {
    return false
  }
}

export function unit(name, parent) {
  return [`ou=${name},${parent}`, { objectClass: 'organizationalUnit', ou: name }]
}

export function person(uid, cn, parent) {
  return [`uid=${uid},${parent}`, { objectClass: 'inetOrgPerson', uid, cn, sn: cn, mail: `${uid}@example.com`, userPassword: `pw-${uid}` }]
}

// Every value base64-encoded, so that names in any script load as they are.
function ldif(records) {
  const b64 = (s) => Buffer.from(s, 'utf8').toString('base64')
  return records.map(([dn, attrs]) => {
    const lines = [`dn:: ${b64(dn)}`]
    for (const [k, v] of Object.entries(attrs)) for (const one of [].concat(v)) lines.push(`${k}:: ${b64(one)}`)
    return lines.join('\n') + '\n'
  }).join('\n')
}

function accepts(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1')
    s.once('connect', () => {
      s.destroy()
      resolve(true)
    })
    s.once('error', () => resolve(false))
  })
}

export class Slapd {
  async start(records) {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvan-e2e-slapd-'))
    fs.mkdirSync(path.join(this.dir, 'db'))
    this.port = await freePort()
    this.url = `ldap://127.0.0.1:${this.port}/`
    const conf = path.join(this.dir, 'slapd.conf')
    fs.writeFileSync(conf, [
      'include /etc/ldap/schema/core.schema', 'include /etc/ldap/schema/cosine.schema',
      'include /etc/ldap/schema/inetorgperson.schema', `pidfile ${path.join(this.dir, 'slapd.pid')}`,
      'modulepath /usr/lib/ldap', 'moduleload back_mdb', 'database mdb', `suffix "${kSuffix}"`,
      `rootdn "${kAdminDn}"`, `rootpw ${kAdminPassword}`, `directory ${path.join(this.dir, 'db')}`,
      'maxsize 1073741824', 'sizelimit unlimited', ''].join('\n'))
    const all = [[kSuffix, { objectClass: ['dcObject', 'organization'], dc: 'example', o: 'Example' }],
      [kBase, { objectClass: 'organizationalUnit', ou: 'Corp' }], ...records]
    fs.writeFileSync(path.join(this.dir, 'data.ldif'), ldif(all))
    const added = spawnSync('/usr/sbin/slapadd', ['-q', '-f', conf, '-l', path.join(this.dir, 'data.ldif')], { encoding: 'utf8' })
    if (added.status !== 0) throw new Error(`slapadd: ${added.stderr}`)
    // In the foreground ("-d 0"), so that the test owns the process.
    this.child = spawn(slapdBinary, ['-f', conf, '-h', this.url, '-d', '0'], { stdio: 'ignore' })
    const child = this.child
    process.once('exit', () => child.exitCode === null && child.kill('SIGKILL'))
    await waitFor(() => child.exitCode === null && accepts(this.port), 30000, 'slapd to listen')
  }

  // The server's settings file for this directory (plain ldap:// on loopback).
  writeSettings(home) {
    fs.writeFileSync(path.join(home, 'DirectorySync.conf'), [
      `url = ${this.url}`, 'allow_plain = yes', `bind_dn = ${kAdminDn}`, `bind_password = ${kAdminPassword}`,
      `base_dn = ${kBase}`, 'preset = openldap', 'timeout_seconds = 5', ''].join('\n'), { mode: 0o600 })
  }

  // Holds the server still (it takes connections and answers nothing), and
  // lets it go on.
  pause() {
    process.kill(this.child.pid, 'SIGSTOP')
  }

  resume() {
    process.kill(this.child.pid, 'SIGCONT')
  }

  stop() {
    return new Promise((resolve) => {
      if (!this.child || this.child.exitCode !== null) return resolve()
      const timer = setTimeout(() => process.kill(this.child.pid, 'SIGKILL'), 5000)
      this.child.once('exit', () => {
        clearTimeout(timer)
        fs.rmSync(this.dir, { recursive: true, force: true })
        resolve()
      })
      process.kill(this.child.pid, 'SIGTERM')
    })
  }
}
