// The department tree as the server sends it, for trees and choosers.
import { api } from './api.js'

// { tree: root node, byCode: Map(code -> node) }; each node has organizeNo,
// organizename, orgID, children, and `label` for the components.
export async function loadOrgTree() {
  const r = await api.get('/api/orgs')
  const byCode = new Map()
  const walk = (n, path) => {
    const label = `${n.organizename}`
    const node = { ...n, label, path: path ? `${path}/${label}` : label, children: [] }
    byCode.set(n.organizeNo, node)
    node.children = (n.children || []).map((c) => walk(c, node.path))
    return node
  }
  const tree = walk(r.data.tree, '')
  return { tree, byCode }
}
