import { createApp } from 'vue'
import 'element-plus/theme-chalk/base.css'
import './style.css'
import App from './App.vue'

createApp(App).mount('#app')
