// Builds the console into CORVAN_WEB_OUT (the build tree puts it beside the
// program, as "web"), or into dist/ when that is not set.
import { defineConfig } from 'vite'
import vue from '@vitejs/plugin-vue'

export default defineConfig({
  plugins: [vue()],
  base: '/',
  build: {
    outDir: process.env.CORVAN_WEB_OUT || 'dist',
    emptyOutDir: true,
    chunkSizeWarningLimit: 2000,
    // No inline script or module preload polyfill: the page's policy allows
    // scripts from its own files only.
    modulePreload: { polyfill: false },
    assetsInlineLimit: 0,
  },
})
