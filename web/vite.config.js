// Builds the console into CORVAN_WEB_OUT (the build tree puts it beside the
// program, as "web"), or into dist/ when that is not set.
import fs from 'node:fs'
import path from 'node:path'
import zlib from 'node:zlib'
import { defineConfig } from 'vite'
import vue from '@vitejs/plugin-vue'
import Components from 'unplugin-vue-components/vite'
import { ElementPlusResolver } from 'unplugin-vue-components/resolvers'

// Writes a gzip copy beside each built script and style sheet ("x.js.gz"),
// which the server sends as it is to a browser that takes gzip, instead of
// compressing the file at every request.
function gzipCopies() {
  return {
    name: 'corvan-gzip-copies',
    apply: 'build',
    writeBundle(options, bundle) {
      for (const name of Object.keys(bundle)) {
        if (!/\.(js|css)$/.test(name)) continue
        const file = path.join(options.dir, name)
        const bytes = fs.readFileSync(file)
        const packed = zlib.gzipSync(bytes, { level: 9 })
        if (packed.length < bytes.length) fs.writeFileSync(`${file}.gz`, packed)
      }
    },
  }
}

export default defineConfig({
  plugins: [
    vue(),
    // Only the Element Plus components (and their styles) that a page uses
    // go into that page's chunk, instead of the whole library up front.
    Components({ resolvers: [ElementPlusResolver({ importStyle: 'css' })], dts: false }),
    gzipCopies(),
  ],
  base: '/',
  build: {
    outDir: process.env.CORVAN_WEB_OUT || 'dist',
    emptyOutDir: true,
    // ECharts, fetched on its own, is the one chunk near this size.
    chunkSizeWarningLimit: 600,
    // No inline script or module preload polyfill: the page's policy allows
    // scripts from its own files only.
    modulePreload: { polyfill: false },
    assetsInlineLimit: 0,
  },
})
